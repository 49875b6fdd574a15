// Certificates made by a test at run time: a CA of its own and the leaf
// certificates it signs (a server's, a client's; expired or for another
// name when the test wants one), written as PEM files. P-256 keys, so that
// making one costs microseconds.
#ifndef ZT_TESTS_SUPPORT_TEST_CERTIFICATES_H_
#define ZT_TESTS_SUPPORT_TEST_CERTIFICATES_H_

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>

namespace zt::testing {

class TestCertificate {
 public:
  TestCertificate() = default;
  ~TestCertificate() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  struct Recipe {
    std::string common_name{};
    std::string alt_names{};  // "DNS:localhost,IP:127.0.0.1"; empty: none
    long valid_from_s = -3600;  // relative to now
    long valid_to_s = 86400;
    bool ca = false;
  };

  // Makes the key and the certificate, signed by issuer (null: by itself).
  bool Make(const Recipe& recipe, const TestCertificate* issuer) {
    key_ = EVP_EC_gen("P-256");
    cert_ = X509_new();
    if (key_ == nullptr || cert_ == nullptr) return false;
    static long serial = 1;
    X509_set_version(cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert_), recipe.valid_from_s);
    X509_gmtime_adj(X509_getm_notAfter(cert_), recipe.valid_to_s);
    X509_set_pubkey(cert_, key_);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(recipe.common_name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert_, issuer ? X509_get_subject_name(issuer->cert_) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer->cert_ : cert_, cert_, nullptr, nullptr, 0);
    const auto add = [&](int nid, const std::string& value) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      if (ext == nullptr) return false;
      X509_add_ext(cert_, ext, -1);
      X509_EXTENSION_free(ext);
      return true;
    };
    if (!add(NID_basic_constraints, recipe.ca ? "critical,CA:TRUE" : "CA:FALSE")) return false;
    if (recipe.ca && !add(NID_key_usage, "critical,keyCertSign,cRLSign")) return false;
    if (!recipe.alt_names.empty() && !add(NID_subject_alt_name, recipe.alt_names)) return false;
    return X509_sign(cert_, issuer ? issuer->key_ : key_, EVP_sha256()) > 0;
  }

  // Writes the certificate and the key as PEM.
  bool Write(const std::string& cert_path, const std::string& key_path) const {
    std::FILE* c = std::fopen(cert_path.c_str(), "w");
    if (c == nullptr) return false;
    const bool cert_ok = PEM_write_X509(c, cert_) == 1;
    std::fclose(c);
    if (key_path.empty()) return cert_ok;
    std::FILE* k = std::fopen(key_path.c_str(), "w");
    if (k == nullptr) return false;
    const bool key_ok = PEM_write_PrivateKey(k, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    std::fclose(k);
    return cert_ok && key_ok;
  }

 private:
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
};

}  // namespace zt::testing

#endif  // ZT_TESTS_SUPPORT_TEST_CERTIFICATES_H_
