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
struct MessageTexts {
    std::string ansi;  // for the console and the logs, which speak the ANSI code page
    std::string utf8;  // as the file holds it, for documents written in UTF-8
};

std::map<std::string, MessageTexts>& Table() {
    static auto* table = new std::map<std::string, MessageTexts>;
    return *table;
}

// One code page to another through UTF-16; unmappable characters become the target's
// default character.
std::string ConvertCodePage(const std::string& text, UINT from, UINT to) {
    if (text.empty()) return std::string();
    int length = static_cast<int>(text.size());
    int wideLength = MultiByteToWideChar(from, 0, text.data(), length, nullptr, 0);
    if (wideLength <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(from, 0, text.data(), length, &wide[0], wideLength);

    int outLength = WideCharToMultiByte(to, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (outLength <= 0) return std::string();
    std::string out(static_cast<size_t>(outLength), '\0');
    WideCharToMultiByte(to, 0, wide.data(), wideLength, &out[0], outLength, nullptr, nullptr);
    return out;
}

// Editors such as Notepad may save UTF-8 with a byte-order mark, which the JSON
// parser would refuse; a table that loads nothing for it would leave the console
// speaking in key words.
void DropUtf8ByteOrderMark(std::string& text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
}

}  // namespace

int32_t LoadMessageTable(const std::string& fileName) {
    std::map<std::string, MessageTexts>& table = Table();
    table.clear();
    std::map<std::string, std::string> utf8Texts;
    if (!ReadMessageFile(fileName, utf8Texts)) return 0;
    for (auto& entry : utf8Texts) table[entry.first] = MessageTexts{ToAnsiCodePage(entry.second), entry.second};
    return 1;
}

bool ReadMessageFile(const std::string& fileName, std::map<std::string, std::string>& utf8Texts) {
    utf8Texts.clear();
    std::string text;
    if (!ReadWholeFile(ExeRelativePath(fileName), text)) return false;
    DropUtf8ByteOrderMark(text);

    ScopedJsonObject document(json_tokener_parse(text.c_str()));
    // A document that is not one object holds no messages at all: load nothing.
    if (!document || !json_object_is_type(document.Get(), json_type_object)) return false;

    for (lh_entry* entry = lh_table_head(json_object_get_object(document.Get())); entry != nullptr;
         entry = lh_entry_next(entry)) {
        const char* key = static_cast<const char*>(lh_entry_k(entry));
        auto* value = static_cast<json_object*>(lh_entry_v(entry));
        // A null member has no text; skipping it lets its key stand for itself.
        const char* utf8 = value != nullptr ? json_object_get_string(value) : nullptr;
        if (key == nullptr || utf8 == nullptr) continue;
        utf8Texts[key] = utf8;
    }
    return true;
}

std::string MessageText(const std::string& key) {
    const std::map<std::string, MessageTexts>& table = Table();
    auto found = table.find(key);
    return found != table.end() ? found->second.ansi : key;
}

std::string MessageTextUtf8(const std::string& key) {
    const std::map<std::string, MessageTexts>& table = Table();
    auto found = table.find(key);
    return found != table.end() ? found->second.utf8 : key;
}

std::string MessageFileForLang(const std::string& lang) {
    return lang == "jp" ? "msgtbl_jp.json" : "msgtbl_en.json";
}

std::string ToAnsiCodePage(const std::string& utf8) { return ConvertCodePage(utf8, CP_UTF8, CP_ACP); }

std::string AnsiToUtf8(const std::string& ansi) { return ConvertCodePage(ansi, CP_ACP, CP_UTF8); }
