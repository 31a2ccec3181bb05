// Every text shown to a person, looked up by key in a JSON message table.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Loads ExeRelativePath(fileName), replacing the whole table (a failed load leaves
// it empty). Texts are converted to the ANSI code page. Returns 1, or 0 on failure.
int32_t LoadMessageTable(const std::string& fileName);

// The text stored for `key`, or `key` itself when the table has none.
std::string MessageText(const std::string& key);

// The same text as the message file holds it, in UTF-8 whatever the ANSI code page.
std::string MessageTextUtf8(const std::string& key);

// Every text of one message file beside the executable, in UTF-8, without touching
// the loaded table. False when the file cannot be read or is not one JSON object.
bool ReadMessageFile(const std::string& fileName, std::map<std::string, std::string>& utf8Texts);

// "msgtbl_jp.json" for LANG "jp" exactly, else "msgtbl_en.json".
std::string MessageFileForLang(const std::string& lang);

// UTF-8 to the system ANSI code page; unmappable characters become its default character.
std::string ToAnsiCodePage(const std::string& utf8);

// Text of the ANSI code page (the logs' bytes) to UTF-8.
std::string AnsiToUtf8(const std::string& ansi);
