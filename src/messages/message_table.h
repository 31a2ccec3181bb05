// Every text shown to a person, looked up by key in a JSON message table.
#pragma once

#include <cstdint>
#include <string>

// Loads ExeRelativePath(fileName), replacing the whole table (a failed load leaves
// it empty). Texts are converted to the ANSI code page. Returns 1, or 0 on failure.
int32_t LoadMessageTable(const std::string& fileName);

// The text stored for `key`, or `key` itself when the table has none.
std::string MessageText(const std::string& key);

// "msgtbl_jp.json" for LANG "jp" exactly, else "msgtbl_en.json".
std::string MessageFileForLang(const std::string& lang);

// UTF-8 to the system ANSI code page; unmappable characters become its default character.
std::string ToAnsiCodePage(const std::string& utf8);
