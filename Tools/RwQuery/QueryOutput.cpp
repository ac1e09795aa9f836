// rwquery's text and JSON.
#include "QueryOutput.h"

#include "Common/StringHelpers.h"

#include <cstdio>

namespace {

std::string JsonString(std::wstring_view text) {
    std::string quoted = "\"";
    for (const char c : WideToUtf8(text)) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                quoted += escaped;
            } else {
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

// items as a JSON array, each item written by write.
template <class Item, class Write>
std::string JsonArray(const std::vector<Item>& items, Write write) {
    std::string json = "[";
    for (size_t i = 0; i < items.size(); ++i)
        json += (i ? ", " : "") + write(items[i]);
    return json + "]";
}

// "1 tag", "2 tags".
std::string Counted(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string JsonStrings(const std::vector<std::wstring>& texts) {
    return JsonArray(texts, [](const std::wstring& text) { return JsonString(text); });
}

} // namespace

std::string ExplainText(const SExplanation& explanation) {
    std::string text = WideToUtf8(explanation.subject) + " holds " + Counted(explanation.tags.size(), "tag") + " in";
    for (const std::wstring& document : explanation.documents)
        text += " " + WideToUtf8(document);
    text += "\n";
    for (const SExplainedTag& tag : explanation.tags) {
        text += WideToUtf8(tag.tag) + "\n";
        for (const SGrant& grant : tag.grants) {
            text += "  by " + WideToUtf8(grant.assignment) + " (role " + WideToUtf8(grant.role) + "), ";
            text += grant.object.empty() ? "assigned at the root" : "on " + WideToUtf8(grant.object) + " (" + WideToUtf8(grant.objectType) + ")";
            text += "\n";
        }
    }
    return text;
}

std::string ExplainJson(const SExplanation& explanation) {
    return "{\"subject\": " + JsonString(explanation.subject) + ", \"tags\": " +
           JsonArray(explanation.tags,
                     [](const SExplainedTag& tag) {
                         return "{\"tag\": " + JsonString(tag.tag) + ", \"grants\": " + JsonArray(tag.grants, [](const SGrant& grant) {
                                    return "{\"assignment\": " + JsonString(grant.assignment) + ", \"role\": " + JsonString(grant.role) +
                                           ", \"object\": " + JsonString(grant.object) + "}";
                                }) + "}";
                     }) +
           "}\n";
}

std::string HoldersText(const std::wstring& tag, const std::vector<SHolder>& holders) {
    std::string text = WideToUtf8(tag) + " is held by " + Counted(holders.size(), "subject") + "\n";
    for (const SHolder& holder : holders) {
        text += WideToUtf8(holder.subject) + "\n";
        for (const SStep& step : holder.chain)
            text += "  " + WideToUtf8(step.from) + " -> " + WideToUtf8(step.to) + "  (" + WideToUtf8(step.document) + ": " + WideToUtf8(step.why) + ")\n";
    }
    return text;
}

std::string HoldersJson(const std::wstring& tag, const std::vector<SHolder>& holders) {
    return "{\"tag\": " + JsonString(tag) + ", \"holders\": " +
           JsonArray(holders,
                     [](const SHolder& holder) {
                         return "{\"subject\": " + JsonString(holder.subject) + ", \"chain\": " + JsonArray(holder.chain, [](const SStep& step) {
                                    return "{\"from\": " + JsonString(step.from) + ", \"to\": " + JsonString(step.to) +
                                           ", \"document\": " + JsonString(step.document) + ", \"why\": " + JsonString(step.why) + "}";
                                }) + "}";
                     }) +
           "}\n";
}

std::string DiffText(const std::vector<SChange>& changes) {
    std::string text;
    std::wstring document;
    for (const SChange& change : changes) {
        if (change.document != document) {
            document = change.document;
            text += WideToUtf8(document) + "\n";
        }
        text += "  " + WideToUtf8(change.id) + "\n";
        for (const std::wstring& tag : change.gained)
            text += "    + " + WideToUtf8(tag) + "\n";
        for (const std::wstring& tag : change.lost)
            text += "    - " + WideToUtf8(tag) + "\n";
    }
    return text.empty() ? "no document changes\n" : text;
}

std::string DiffJson(const std::vector<SChange>& changes) {
    return "{\"changes\": " + JsonArray(changes, [](const SChange& change) {
               return "{\"document\": " + JsonString(change.document) + ", \"id\": " + JsonString(change.id) +
                      ", \"gained\": " + JsonStrings(change.gained) + ", \"lost\": " + JsonStrings(change.lost) + "}";
           }) + "}\n";
}

std::string CheckText(const std::vector<SFinding>& findings) {
    if (findings.empty())
        return "no findings\n";
    std::string text = Counted(findings.size(), "finding") + "\n";
    for (const SFinding& finding : findings) {
        text += WideToUtf8(finding.path) + ": " + WideToUtf8(finding.rule) + "\n  " + WideToUtf8(finding.what) + "\n  so " +
                WideToUtf8(finding.causes) + "\n";
        for (const SFinding::STag& tag : finding.tags)
            text += "    " + WideToUtf8(tag.tag) + " reads back as " + WideToUtf8(tag.readsBack) + "\n";
    }
    return text;
}

std::string CheckJson(const std::vector<SFinding>& findings) {
    return "{\"findings\": " + JsonArray(findings, [](const SFinding& finding) {
               return "{\"path\": " + JsonString(finding.path) + ", \"rule\": " + JsonString(finding.rule) + ", \"what\": " +
                      JsonString(finding.what) + ", \"causes\": " + JsonString(finding.causes) + ", \"tags\": " +
                      JsonArray(finding.tags, [](const SFinding::STag& tag) {
                          return "{\"tag\": " + JsonString(tag.tag) + ", \"readsBack\": " + JsonString(tag.readsBack) + "}";
                      }) + "}";
           }) + "}\n";
}

std::string LogText(const std::vector<SLogRecord>& records) {
    std::string text;
    for (const SLogRecord& record : records)
        text += WideToUtf8(record.text) + "\n";
    return text;
}

std::string LogJson(const std::vector<SLogRecord>& records) {
    return "{\"records\": " + JsonArray(records, [](const SLogRecord& record) {
               return std::string("{\"severity\": ") + (record.severity ? JsonString(SeverityName(record.severity)) : "null") +
                      ", \"thread\": " + (record.thread ? std::to_string(*record.thread) : "null") + ", \"text\": " +
                      JsonString(record.text) + "}";
           }) + "}\n";
}
