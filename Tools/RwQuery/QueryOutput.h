// What rwquery prints: readable text, or one JSON document (UTF-8).
#pragma once

#include "Check.h"
#include "Documents.h"
#include "Explain.h"
#include "LogFilter.h"

#include <string>

std::string ExplainText(const SExplanation& explanation);
std::string ExplainJson(const SExplanation& explanation);
std::string HoldersText(const std::wstring& tag, const std::vector<SHolder>& holders);
std::string HoldersJson(const std::wstring& tag, const std::vector<SHolder>& holders);
std::string DiffText(const std::vector<SChange>& changes);
std::string DiffJson(const std::vector<SChange>& changes);
std::string CheckText(const std::vector<SFinding>& findings);
std::string CheckJson(const std::vector<SFinding>& findings);
std::string LogText(const std::vector<SLogRecord>& records);
std::string LogJson(const std::vector<SLogRecord>& records);
