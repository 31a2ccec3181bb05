#include "config/key_value_file.h"

#include "common/text_file.h"

bool ReadKeyValueFile(const std::string& path, const KeyValueVisitor& visit) {
    return ReadTextLines(path, [&visit](const std::string& line) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) return true;
        return visit(line.substr(0, equals), line.substr(equals + 1));
    });
}
