#include "http/hutils.h"

#include <cctype>

namespace HUtils {

namespace {

constexpr const char* kRequestGetRD = "talvane::HUtils::RequestGetRD";

std::string HostAndPort(const talvane::DEVICE_INFO& device) {
    return FormatString("%s:%u", device.address.c_str(), static_cast<unsigned>(device.port));
}

// A query parameter that carries a credential: the login request's "User" and "Password" fields,
// and any other parameter named like a password.
bool IsCredentialName(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "user" || name.find("pass") != std::string::npos ||
           name.find("pwd") != std::string::npos;
}

}  // namespace

std::string RedactObject(const std::string& object) {
    const size_t query = object.find('?');
    if (query == std::string::npos) return object;
    std::string out = object.substr(0, query + 1);
    const std::string rest = object.substr(query + 1);
    size_t begin = 0;
    while (begin <= rest.size()) {
        size_t end = rest.find('&', begin);
        if (end == std::string::npos) end = rest.size();
        const std::string pair = rest.substr(begin, end - begin);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos && IsCredentialName(pair.substr(0, equals))) {
            out += pair.substr(0, equals + 1) + "***";
        } else {
            out += pair;
        }
        if (end == rest.size()) break;
        out.push_back('&');
        begin = end + 1;
    }
    return out;
}

talvane::CResultDef RequestGetRD(std::vector<uint8_t>& body, Web::CHttpSender& sender,
                                 const std::string& object, bool readBody) {
    talvane::CResultDef result;
    const std::string where = HostAndPort(sender.Device());
    body.clear();

    Web::HttpRequest request("GET", object);
    const bool sent = sender.SendRequest(request);
    const uint32_t status = sender.GetStatusCode();
    if (!sent || status == 0) {
        result.code = talvane::CResultDef::kCodeCannotSend;
        result.level = talvane::kLogSilent;
        result.message = FormatString("%s: can not send request \"%s\" to %s", kRequestGetRD,
                                      RedactObject(object).c_str(), where.c_str());
    } else if (status / 100 != 2) {
        result.code = talvane::CResultDef::kCodeStatusNotOk;
        result.level = talvane::kLogFailure;
        result.message = FormatString(
            "%s: %s sent does not process request \"%s\", status code = %d", kRequestGetRD,
            where.c_str(), RedactObject(object).c_str(), static_cast<int>(status));
    }

    if (readBody && result.code == 0) {
        bool tooLong = false;
        if (sender.ReadAllLimited(body, kMaxCgiBody, &tooLong) == 0) {
            result.code = talvane::CResultDef::kCodeBadResponse;
            result.level = talvane::kLogFailure;
            const std::string shown = RedactObject(object);
            result.message = tooLong
                                 ? FormatString(
                                       "%s: too long response (over %u bytes) for request \"%s\" "
                                       "from %s",
                                       kRequestGetRD, static_cast<unsigned>(kMaxCgiBody),
                                       shown.c_str(), where.c_str())
                                 : FormatString("%s: incorrect response for request \"%s\" from %s",
                                                kRequestGetRD, shown.c_str(), where.c_str());
        }
        body.push_back(0);
    }
    sender.CloseRequest();
    return result;
}

bool QueryCgi(std::vector<uint8_t>& body, Web::CHttpSender& sender, IDebugMessage* log,
              const std::string& object) {
    const talvane::CResultDef result = RequestGetRD(body, sender, object, true);
    if (result.code != 0 && !result.message.empty() && log != nullptr && ShouldLog(*log)) {
        log->Log(result.level, "%s", result.message.c_str());
    }
    return result.code == 0;
}

bool SendCgi(Web::CHttpSender& sender, const std::string& object) {
    std::vector<uint8_t> body;
    return RequestGetRD(body, sender, object, false).code == 0;
}

bool GetBody(std::vector<uint8_t>& body, Web::CHttpSender& sender, const std::string& object) {
    body.clear();
    Web::HttpRequest request("GET", object);
    const bool ok = sender.SendRequest(request) && sender.GetStatusCode() == 200 &&
                    sender.ReadAllLimited(body, kMaxCgiBody) > 0;
    if (ok) {
        body.push_back(0);
    } else {
        body.clear();
    }
    sender.CloseRequest();
    return ok;
}

bool SendGet(Web::CHttpSender& sender, const std::string& object) {
    Web::HttpRequest request("GET", object);
    return sender.SendRequest(request);
}

bool ShouldLog(IDebugMessage& log) {
    // The decision rests on the value this call produced, whatever other threads do meanwhile.
    uint32_t current = log.messageCounter.load();
    uint32_t n = 0;
    do {
        n = current + 1;
        if (n >= 0xFFFF) n = 0xFFF;
    } while (!log.messageCounter.compare_exchange_weak(current, n));
    if (n < 15) return true;
    if (n < 255) return n % 16 == 0;
    if (n < 4095) return n % 256 == 0;
    return n % 4096 == 0;
}

}  // namespace HUtils
