// Functions of camsim.h's plain types, shared by the in-process camera and the remote one.
#include "camsim.h"

namespace zarncam {

const char* AuthSchemeName(AuthScheme scheme) {
    switch (scheme) {
        case AuthScheme::kBasic:
            return "basic";
        case AuthScheme::kDigest:
            return "digest";
        case AuthScheme::kNone:
            break;
    }
    return "none";
}

std::string RequestRecord::Path() const {
    return target.substr(0, target.find('?'));
}

}  // namespace zarncam
