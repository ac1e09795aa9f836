// What rwquery prints: readable text, or one JSON document (UTF-8).
#pragma once

#include "Explain.h"

#include <string>

std::string ExplainText(const SExplanation& explanation);
std::string ExplainJson(const SExplanation& explanation);
// text as UTF-8.
std::string Utf8(std::wstring_view text);
