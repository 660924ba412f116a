// Runs tests/support/service_double.py (the local HTTPS stand-in of the association's service)
// for the life of one object: certificates in a fresh folder, loopback only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace vltest {

struct RecordedPart {
    std::string name;
    std::optional<std::string> filename; // set for a file field
    std::string contentType;
    std::string value; // exact bytes
};

struct RecordedUpload {
    std::string path;
    std::string query;
    std::string contentType;
    std::vector<RecordedPart> parts; // in the order they arrived
};

struct RecordedDownload {
    std::string path;
    std::string query; // as sent, not decoded
};

class ServiceDouble {
public:
    struct Options {
        std::string mode = "ok"; // ok, refuse, noverdict, delay, drop (downloads cut halfway),
                                 // trickle (the answer in pieces over delaySeconds)
        std::string code = "12"; // the refuse mode's ERROR= value
        double delaySeconds = 90;
        bool wrongHost = false;  // serve a certificate issued for another host name
        bool untrustedCa = false; // serve a certificate for the right host from an unknown CA
        std::filesystem::path zips; // folder with farmacia.zip, encuesta.zip, precio.zip
    };

    ServiceDouble();
    explicit ServiceDouble(Options options);
    ~ServiceDouble();
    ServiceDouble(const ServiceDouble&) = delete;
    ServiceDouble& operator=(const ServiceDouble&) = delete;

    int port() const { return port_; }
    // https://velantia.localhost:<port>/conexion_empresas.asp
    std::string url() const;
    // The test CA that signed the double's certificates.
    const std::filesystem::path& caPath() const { return caPath_; }
    const std::filesystem::path& recordDir() const { return recordDir_; }

    // Switches the behaviour of later requests; false when the double did not confirm.
    bool setMode(const std::string& mode, const std::string& code = "12",
                 std::optional<double> delaySeconds = std::nullopt);

    std::vector<RecordedUpload> recordedUploads() const;
    std::vector<RecordedDownload> recordedDownloads() const;

    // The service address on a loopback port that nobody listens on.
    static std::string refusedUrl();

private:
    void stop();

    TempDir dir_;
    std::filesystem::path caPath_;
    std::filesystem::path recordDir_;
    int port_ = 0;
    long pid_ = -1;
    int stdoutFd_ = -1;
};

} // namespace vltest
