#include "messages/message_table.h"

#include <json-c/json.h>

#include <map>

#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/text_file.h"
#include "common/win32.h"

namespace {

struct JsonObjectTraits {
    using Handle = json_object*;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { json_object_put(h); }
};
using ScopedJsonObject = ScopedHandle<JsonObjectTraits>;

// Filled on the main thread before any other thread starts, read-only afterwards.
// Never destroyed, so a service thread still looking a text up while the process
// exits does not meet a dismantled map.
std::map<std::string, std::string>& Table() {
    static auto* table = new std::map<std::string, std::string>;
    return *table;
}

// Editors such as Notepad may save UTF-8 with a byte-order mark, which the JSON
// parser would refuse; a table that loads nothing for it would leave the console
// speaking in key words.
void DropUtf8ByteOrderMark(std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
}

}  // namespace

int32_t LoadMessageTable(const std::string& fileName) {
    std::map<std::string, std::string>& table = Table();
    table.clear();

    std::string text;
    if (!ReadWholeFile(ExeRelativePath(fileName), text)) return 0;
    DropUtf8ByteOrderMark(text);

    ScopedJsonObject document(json_tokener_parse(text.c_str()));
    // A document that is not one object holds no messages at all: load nothing.
    if (!document || !json_object_is_type(document.Get(), json_type_object)) return 0;

    for (lh_entry* entry = lh_table_head(json_object_get_object(document.Get())); entry != nullptr;
         entry = lh_entry_next(entry)) {
        const char* key = static_cast<const char*>(lh_entry_k(entry));
        auto* value = static_cast<json_object*>(lh_entry_v(entry));
        // A null member has no text; skipping it lets its key stand for itself.
        const char* utf8 = value != nullptr ? json_object_get_string(value) : nullptr;
        if (key == nullptr || utf8 == nullptr) continue;
        table[key] = ToAnsiCodePage(utf8);
    }
    return 1;
}

std::string MessageText(const std::string& key) {
    const std::map<std::string, std::string>& table = Table();
    auto found = table.find(key);
    return found != table.end() ? found->second : key;
}

std::string MessageFileForLang(const std::string& lang) {
    return lang == "jp" ? "msgtbl_jp.json" : "msgtbl_en.json";
}

std::string ToAnsiCodePage(const std::string& utf8) {
    if (utf8.empty()) return std::string();
    int utf8Length = static_cast<int>(utf8.size());
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), utf8Length, nullptr, 0);
    if (wideLength <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), utf8Length, &wide[0], wideLength);

    int ansiLength = WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (ansiLength <= 0) return std::string();
    std::string ansi(static_cast<size_t>(ansiLength), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, &ansi[0], ansiLength, nullptr, nullptr);
    return ansi;
}
