#pragma once

#include <QString>

#include <curl/curl.h>
#include <openssl/ssl.h>

// The CA certificates that verify servers, parsed once and shared by every TLS connection of the process: parsing
// the system's bundle costs several times the handshake, and libcurl does it again for each connection of a fresh
// multi handle. The file is the one libcurl would read (its built-in bundle and directory). It is read again when
// it changes (a stat at each handshake) and at the latest after kMaxAgeSeconds, which covers the directory's files.
// When the bundle cannot be read, transfers are left to libcurl's own loading, so its errors stay what they were.
//
// Thread safe: the store is an OpenSSL X509_STORE, reference counted and locked by OpenSSL itself.
namespace TrustStore {

constexpr int kMaxAgeSeconds = 3600;

// For an easy handle that verifies (or says it does) before its transfer: stops libcurl loading the bundle itself
// when the shared store has it. Returns whether the store will be installed, so the handle must call Install from
// its CURLOPT_SSL_CTX_FUNCTION.
bool Prepare(CURL* easy);
// From the handle's CURLOPT_SSL_CTX_FUNCTION: gives the connection's context the shared store.
void Install(SSL_CTX* ctx);

// How many times the bundle was parsed so far (for tests and benchmarks).
int LoadCount();
// Tests: read this bundle file and no directory instead of libcurl's; empty goes back to libcurl's.
void UseBundleFile(const QString& path);

} // namespace TrustStore
