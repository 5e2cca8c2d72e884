// The system's trust anchors for TLS contexts of our own, with the system's anchor file read once per
// process (reading it takes tens of milliseconds, which every new connection would otherwise spend
// before its handshake). Thread rule: any thread; each call returns a new store the caller owns.
#pragma once

#include <openssl/types.h>

namespace lv {

// A new certificate store with what the system's default paths give: the anchor file's certificates
// and revocation lists (read once, then copied), and the system's certificate directory and store,
// looked in only when a certificate is asked for. No anchors added through TrustAnchors. Null when out
// of memory. The caller frees it, or hands it to a TLS context that takes it over.
X509_STORE* newSystemAnchorStore();

}  // namespace lv
