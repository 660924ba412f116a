// Runs tests/support/service_double.py (the local HTTPS stand-in of the association's service)
// for the life of one object: certificates in a fresh folder, loopback only. Under Wine the
// Windows test starts the host's python3, which reads and writes the same folders.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace vltest {

struct RecordedPart {
    std::string name, value; // the value's exact bytes
};

struct RecordedUpload {
    std::string body;                // the multipart body, its boundary written BOUNDARY
    std::vector<RecordedPart> parts; // in the order they arrived
};

class ServiceDouble {
  public:
    struct Options {
        std::string mode = "ok"; // see service_double.py
        double delaySeconds = 90;
        bool wrongHost = false;     // serve a certificate issued for another host name
        bool untrustedCa = false;   // serve a certificate for the right host from an unknown CA
        std::filesystem::path zips; // folder with farmacia.zip, encuesta.zip, precio.zip
    };

    ServiceDouble() : ServiceDouble(Options{}) {}
    explicit ServiceDouble(Options options);
    ~ServiceDouble();

    std::string url() const {
        return "https://velantia.localhost:" + std::to_string(port_) + "/conexion_empresas.asp";
    }
    // The test CA that signed the double's certificates.
    std::filesystem::path caPath() const { return dir_.path() / "certs/ca.pem"; }

    // Switches the behaviour of later requests.
    bool setMode(const std::string& mode, const std::string& code = "12", double delaySeconds = 90);
    // Later requests get `page`: header lines, a blank line, the body (CR LF each).
    bool setPage(const std::string& page);

    std::vector<RecordedUpload> recordedUploads() const;
    // The query of each download, as sent (not decoded).
    std::vector<std::string> recordedQueries() const;

    // Port 1 of loopback: privileged and unused, so nobody listens there.
    static std::string refusedUrl() { return "https://velantia.localhost:1/conexion_empresas.asp"; }

  private:
    TempDir dir_;
    int port_ = 0;
    int pid_ = 0;
    std::FILE* pipe_ = nullptr; // POSIX: its end is the double's end

};

} // namespace vltest
