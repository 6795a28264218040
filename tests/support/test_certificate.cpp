#include "support/test_certificate.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace test_tls {
namespace {

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(length));
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  if (extension == nullptr) throw std::runtime_error("X509V3_EXT_conf_nid " + value);
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

}  // namespace

certificate make_certificate(const std::string& host, const certificate* issuer, bool ca) {
  static long serial = 1;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++ + static_cast<long>(getpid()) * 1000);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);

  X509* issuer_cert = cert;
  EVP_PKEY* issuer_key = key;
  if (issuer != nullptr) {
    BIO* cert_bio = BIO_new_mem_buf(issuer->cert_pem.data(), static_cast<int>(issuer->cert_pem.size()));
    BIO* key_bio = BIO_new_mem_buf(issuer->key_pem.data(), static_cast<int>(issuer->key_pem.size()));
    issuer_cert = PEM_read_bio_X509(cert_bio, nullptr, nullptr, nullptr);
    issuer_key = PEM_read_bio_PrivateKey(key_bio, nullptr, nullptr, nullptr);
    BIO_free(cert_bio);
    BIO_free(key_bio);
    if (issuer_cert == nullptr || issuer_key == nullptr) throw std::runtime_error("bad issuer");
  }
  X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert));
  unsigned char address[16];
  const bool ip = inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
  add_extension(cert, issuer_cert, NID_subject_alt_name, (ip ? "IP:" : "DNS:") + host);
  add_extension(cert, issuer_cert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) add_extension(cert, issuer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert, issuer_cert, NID_subject_key_identifier, "hash");
  if (X509_sign(cert, issuer_key, EVP_sha256()) == 0) throw std::runtime_error("X509_sign");

  certificate out;
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  out.cert_pem = bio_text(bio);
  BIO_free(bio);
  bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  out.key_pem = bio_text(bio);
  BIO_free(bio);
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), out.fingerprint.data(), &length);

  if (issuer != nullptr) {
    X509_free(issuer_cert);
    EVP_PKEY_free(issuer_key);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

std::string write_temp_file(const std::string& name, const std::string& text) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/orbeck-" +
                     std::to_string(getpid()) + "-" + name;
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  return path;
}

}  // namespace test_tls
