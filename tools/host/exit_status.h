// Exit statuses of zarnhost.
#pragma once

namespace zarnhost {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // camera, driver or output failure
constexpr int kExitUsage = 2;    // bad command line

}  // namespace zarnhost
