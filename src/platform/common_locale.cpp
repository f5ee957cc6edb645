#include <cctype>
#include <cstdlib>
#include <string>

#include "platform/process.h"

namespace platform {

bool localeNamesUtf8() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string lower;
        for (const char* c = value; *c != '\0'; ++c)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
    }
    return false;
}

}  // namespace platform
