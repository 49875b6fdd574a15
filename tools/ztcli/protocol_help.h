// \help for a protocol command: its rows of the command tables of
// docs/protocol.md, which the build embeds in ztcli, so the shell says what
// the document says and never a copy that drifts from it.
#ifndef ZTCLI_PROTOCOL_HELP_H_
#define ZTCLI_PROTOCOL_HELP_H_

#include <string>
#include <string_view>

namespace ztcli {

// The document's text (generated from docs/protocol.md at configure time).
extern const char kProtocolDocument[];

// For each table row of document whose first cell names command (without
// regard to case; "...MOVENEXT" after RECORDSETMOVEFIRST~h counts as
// RECORDSETMOVENEXT~h): the request, the reply and the notes, one per line,
// plainly (no Markdown marks), and the section the row is in. Empty when no
// row names it.
std::string ProtocolHelp(std::string_view command, std::string_view document = kProtocolDocument);

}  // namespace ztcli

#endif  // ZTCLI_PROTOCOL_HELP_H_
