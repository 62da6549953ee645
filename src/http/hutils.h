// HUtils request functions: one GET to a camera CGI script, judged and described in a CResultDef,
// and the throttle that keeps repeated failures from flooding the host's log.
//
// Threads: every function runs on the caller's thread with the caller's sender (which must not be
// used by another thread meanwhile). ShouldLog may be called from any thread: a sink's counter is
// shared by every thread that logs through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/idriver.h"
#include "http/http_sender.h"
#include "http/result_def.h"
#include "http/text_utils.h"

namespace HUtils {

// Largest CGI answer accepted; a longer body fails the request (code 10).
constexpr size_t kMaxCgiBody = 1024 * 1024;

// Sends GET `object` and judges the answer: code 9 (level 4) when nothing came back, 6 (level 1)
// for a status outside 200..299, 10 (level 1) when `readBody` is set and the body is empty or
// longer than kMaxCgiBody. With `readBody` and a 2xx answer, `body` holds the body plus one NUL
// byte (just the NUL when it was empty or too long); otherwise it is empty. Closes the request.
// Credentials in the object never reach the message (see RedactObject).
talvane::CResultDef RequestGetRD(std::vector<uint8_t>& body, Web::CHttpSender& sender,
                                 const std::string& object, bool readBody);

// RequestGetRD with the body read; a failure is logged through `log` (if given) at the result's
// level when ShouldLog allows. True when the code is 0.
bool QueryCgi(std::vector<uint8_t>& body, Web::CHttpSender& sender, IDebugMessage* log,
              const std::string& object);

// RequestGetRD without the body and without logging. True when the code is 0.
bool SendCgi(Web::CHttpSender& sender, const std::string& object);

// GET with the body read: true only for status 200 and a body of 1..kMaxCgiBody bytes, which is
// then followed by one NUL byte in `body`. Closes the request.
bool GetBody(std::vector<uint8_t>& body, Web::CHttpSender& sender, const std::string& object);

// GET that leaves the request open for the caller to read (streams, preset commands).
bool SendGet(Web::CHttpSender& sender, const std::string& object);

// Advances the sink's message counter (65535 wraps to 4095) and says whether this message may go
// out: always below 15, then every 16th up to 254, every 256th up to 4094, every 4096th after.
bool ShouldLog(IDebugMessage& log);

// The object for messages: the values of the query parameters that carry credentials (the login
// request's User and Password, and any parameter named like a password) replaced by "***". Text
// elsewhere is left alone, even where it happens to equal a credential.
std::string RedactObject(const std::string& object);

}  // namespace HUtils
