// Certificates for TLS tests, made at test time with the openssl command in
// a fresh temporary directory (removed again by the destructor): a test CA,
// a host certificate for 127.0.0.1 and localhost, one for another name,
// one that has expired, a client certificate, and a second CA that issued
// none of them. Elliptic-curve keys, so that making them takes well under
// a second.
#pragma once

#include <string>

class TTestCertificates {
public:
    struct TPair {
        std::string Cert;  // PEM certificate
        std::string Key;   // PEM private key
    };

    // True when the openssl command is on PATH.
    static bool Available();

    // Makes every file; throws std::runtime_error with openssl's output
    // when that fails.
    TTestCertificates();
    ~TTestCertificates();
    TTestCertificates(const TTestCertificates&) = delete;
    TTestCertificates& operator=(const TTestCertificates&) = delete;

    std::string Dir;
    std::string CaFile;       // the test CA that issued every pair below
    std::string OtherCaFile;  // a CA that issued none of them
    TPair Good;               // CN localhost; names IP 127.0.0.1 and DNS localhost
    TPair WrongName;          // names only wrong-name.invalid
    TPair Expired;            // names like Good, but no longer valid
    TPair Client;             // CN "tn3270 test client", for client authentication
};
