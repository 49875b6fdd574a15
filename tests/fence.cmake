# The include fence (zt_include_root and zt_layer in the top CMakeLists.txt),
# checked against the real targets. Each case compiles a two-line file with
# the include roots a target's own sources get (its INCLUDE_DIRECTORIES,
# with everything its links and any directory-wide include_directories()
# add): first a header the target must see, then one it must not. The test
# passes only when the compile stops at the second header, so it fails both
# when the fence lets the header through and when the roots are broken.
# The compile runs when the test does, on a target left out of the build.
function(zt_fence_case target seen unseen)
  string(MAKE_C_IDENTIFIER "${target}_${unseen}" id)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/fence/${id}.cc)
  file(CONFIGURE OUTPUT ${source} CONTENT "#include \"${seen}\"\n#include \"${unseen}\"\n")
  add_library(fence_${id} OBJECT EXCLUDE_FROM_ALL ${source})
  target_include_directories(fence_${id} PRIVATE $<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>)
  set(name Fence.${target}.DoesNotSee.${unseen})
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target fence_${id})
  # gcc: "x/y.h: No such file or directory"; clang: "'x/y.h' file not found".
  string(REPLACE "." "\\." pattern ${unseen})
  set_tests_properties(${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "${pattern}'?:? (No such file or directory|file not found)"
    RESOURCE_LOCK zt_build_tree TIMEOUT 120)
endfunction()

# One upward include per layer, and the tools' reach.
#             target       sees                           must not see
zt_fence_case(ztengine     engine/codec.h                 recordset/recordset.h)
zt_fence_case(ztrecordset  recordset/recordset.h          protocol/request_processor.h)
zt_fence_case(ztnet        net/frame.h                    engine/database.h)
zt_fence_case(ztprotocol   protocol/request_processor.h   service/server.h)
zt_fence_case(ztconfig     config/ini_file.h              service/config.h)
zt_fence_case(ztservice    service/server.h               ztadmin/commands.h)
zt_fence_case(ztcsv        csv/csv.h                      engine/codec.h)
# The client library and the tools built on it know the server only by
# its protocol; ztadmin works on the engine without the running server;
# no tool reads another tool's headers.
zt_fence_case(ztclient     ztserver/client.h              engine/database.h)
zt_fence_case(ztcli_lib    ztcli/query.h                  ztadmin/commands.h)
zt_fence_case(ztcli_lib    ztcli/status.h                 net/http.h)
zt_fence_case(ztload       ztload/workloads.h             ztcli/shell.h)
zt_fence_case(ztadmin_lib  ztadmin/commands.h             service/config.h)
