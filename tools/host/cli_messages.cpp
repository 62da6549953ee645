#include "cli_messages.h"

#include <charconv>
#include <cstdlib>
#include <sstream>

namespace zarnhost {

CLI::Validator WholeNumber(int64_t low, int64_t high) {
    return CLI::Validator(
        [low, high](const std::string& text) -> std::string {
            int64_t value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size() && value >= low &&
                value <= high) {
                return {};
            }
            if (high == low + 1) {
                return "must be " + std::to_string(low) + " or " + std::to_string(high) +
                       " (not \"" + text + "\")";
            }
            return "must be a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + " (not \"" + text + "\")";
        },
        "", "whole number");
}

CLI::Validator MoreThanZero() {
    return CLI::Validator(
        [](const std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            if (!text.empty() && end == text.c_str() + text.size() && value > 0.0 && value < 1e9) {
                return {};
            }
            return "must be a number above 0 (not \"" + text + "\")";
        },
        "", "positive number");
}

CLI::Validator OneOf(const std::vector<std::string>& names) {
    return CLI::Validator(
        [names](const std::string& text) -> std::string {
            std::string list;
            for (const auto& n : names) {
                if (n == text) return {};
                list += (list.empty() ? "" : ", ") + n;
            }
            return "must be one of " + list + " (not \"" + text + "\")";
        },
        "", "name");
}

std::string UsageErrorText(const CLI::ParseError& error) {
    std::string text = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // "The following argument(s) was/were not expected: a b"
        const size_t colon = text.find(": ");
        std::istringstream words(colon == std::string::npos ? text : text.substr(colon + 2));
        std::string out;
        for (std::string word; words >> word;) {
            out += (out.empty() ? "" : "; ") + (word.size() > 1 && word[0] == '-'
                                                    ? "unknown option " + word
                                                    : "unexpected argument \"" + word + "\"");
        }
        return out;
    }
    // Validators say "must ...": "--speed: must be ..." reads better as "--speed must be ...".
    if (const size_t at = text.find(": must "); at != std::string::npos) text.erase(at, 1);
    return text;
}

}  // namespace zarnhost
