// The Zarn camera family's camera-properties object: logs in to the camera's CGI interface, reads
// its capability list, completes the description from the built-in resolution tables and probes
// whether the camera answers PTZ requests.
//
// Threads: GetProperties and SaveResults run on the query thread, which alone uses the HTTP client.
// Terminate and AbortRequest may come from any thread. Construction sends nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/http_sender.h"
#include "properties/camera_properties.h"

namespace talvane {

class CZarnHDCameraProperties final : public CCameraPropertiesEx {
public:
    CZarnHDCameraProperties(const DEVICE_INFO& device, int32_t videoStandard);
    ~CZarnHDCameraProperties() override;

    bool GetProperties(int& error) override;
    bool SaveResults(ICapabilityResult* result) override;
    void AbortRequest() override;

    bool HighDefinition() const { return hd_; }
    const std::string& Firmware() const { return firmware_; }

    // The login-check request for the given credentials, each percent-encoded so that no
    // character of them can change the request.
    static std::string LoginRequest(const std::string& user, const std::string& password);

    // Judges a login-check answer as the request functions return it (the body and one NUL
    // byte). True when the login is accepted; otherwise `error` holds a PropertiesError.
    static bool ReadLoginAnswer(const std::vector<uint8_t>& body, int& error);
    // Fills model, counts, HD flag and firmware from a capability answer (body and one NUL byte).
    // False, leaving the model empty, when the answer names no product.
    bool ReadCapabilityAnswer(const std::vector<uint8_t>& body);
    // Adds the resolutions of the camera's table (standard or high definition) and the H.264
    // format code to the description.
    void FillResolutions();

private:
    bool CheckLogin(int& error);
    bool ReadCapabilities();
    void ReadPtzSupport();

    Web::CHttpSender sender_;
    bool hd_ = false;
    std::string firmware_;
};

}  // namespace talvane
