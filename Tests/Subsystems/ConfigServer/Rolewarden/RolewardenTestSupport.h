// Helpers of the Rolewarden tests: trees read from the store's text form (inline or from the files
// under Data/, copied next to the test executable), tree comparison that shows both texts on a
// difference, raised HRESULTs and the log records written while a test runs.
#pragma once

#include "Common/LogManager.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Support/RaisedHr.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// Every tree of a text in the store's text form; a malformed text fails the test and gives none.
std::vector<KvNodePtr> ParseTrees(std::string_view text);
// The one tree of the text.
KvNodePtr ParseTree(std::string_view text);
// Every tree of the file Data/<name>.
std::vector<KvNodePtr> LoadTrees(const wchar_t* name);

// A configuration node with string attributes.
KvNodePtr MakeNode(const wchar_t* name, const std::vector<std::pair<const wchar_t*, std::wstring>>& attributes);

// CompareNodes with options 0; on a difference the message holds the texts of both trees.
::testing::AssertionResult SameTree(const KvNodePtr& expected, const KvNodePtr& actual);

// Keeps the records written while it is registered, as severity tag and message.
class CLogCapture final : public ILogger {
public:
    CLogCapture();
    ~CLogCapture() override;
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    void Write(const wchar_t* text, int length) noexcept override;
    // True when a record of that severity tag ("WARN", "DBG") had exactly that message.
    bool Has(const wchar_t* severity, const std::wstring& message) const;
    // The messages of that severity tag, in order.
    std::vector<std::wstring> Messages(const wchar_t* severity) const;

private:
    std::vector<std::pair<std::wstring, std::wstring>> m_records;
};
