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

} // namespace

std::string ExplainText(const SExplanation& explanation) {
    std::string text = WideToUtf8(explanation.subject) + " holds " + std::to_string(explanation.tags.size()) + " tag" +
                       (explanation.tags.size() == 1 ? "" : "s") + " in";
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
    std::string json = "{\"subject\": " + JsonString(explanation.subject) + ", \"tags\": [";
    for (size_t t = 0; t < explanation.tags.size(); ++t) {
        const SExplainedTag& tag = explanation.tags[t];
        json += (t ? ", " : "") + std::string("{\"tag\": ") + JsonString(tag.tag) + ", \"grants\": [";
        for (size_t g = 0; g < tag.grants.size(); ++g) {
            const SGrant& grant = tag.grants[g];
            json += (g ? ", " : "") + std::string("{\"assignment\": ") + JsonString(grant.assignment) +
                    ", \"role\": " + JsonString(grant.role) + ", \"object\": " + JsonString(grant.object) + "}";
        }
        json += "]}";
    }
    return json + "]}\n";
}

std::string HoldersText(const std::wstring& tag, const std::vector<SHolder>& holders) {
    std::string text = WideToUtf8(tag) + " is held by " + std::to_string(holders.size()) + " subject" + (holders.size() == 1 ? "" : "s") + "\n";
    for (const SHolder& holder : holders) {
        text += WideToUtf8(holder.subject) + "\n";
        for (const SStep& step : holder.chain)
            text += "  " + WideToUtf8(step.from) + " -> " + WideToUtf8(step.to) + "  (" + WideToUtf8(step.document) + ": " + WideToUtf8(step.why) + ")\n";
    }
    return text;
}

std::string HoldersJson(const std::wstring& tag, const std::vector<SHolder>& holders) {
    std::string json = "{\"tag\": " + JsonString(tag) + ", \"holders\": [";
    for (size_t h = 0; h < holders.size(); ++h) {
        json += (h ? ", " : "") + std::string("{\"subject\": ") + JsonString(holders[h].subject) + ", \"chain\": [";
        for (size_t s = 0; s < holders[h].chain.size(); ++s) {
            const SStep& step = holders[h].chain[s];
            json += (s ? ", " : "") + std::string("{\"from\": ") + JsonString(step.from) + ", \"to\": " + JsonString(step.to) +
                    ", \"document\": " + JsonString(step.document) + ", \"why\": " + JsonString(step.why) + "}";
        }
        json += "]}";
    }
    return json + "]}\n";
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
    const auto list = [](const std::vector<std::wstring>& tags) {
        std::string json = "[";
        for (size_t i = 0; i < tags.size(); ++i)
            json += (i ? ", " : "") + JsonString(tags[i]);
        return json + "]";
    };
    std::string json = "{\"changes\": [";
    for (size_t c = 0; c < changes.size(); ++c) {
        const SChange& change = changes[c];
        json += (c ? ", " : "") + std::string("{\"document\": ") + JsonString(change.document) + ", \"id\": " + JsonString(change.id) +
                ", \"gained\": " + list(change.gained) + ", \"lost\": " + list(change.lost) + "}";
    }
    return json + "]}\n";
}

std::string CheckText(const std::vector<SFinding>& findings) {
    if (findings.empty())
        return "no findings\n";
    std::string text = std::to_string(findings.size()) + " finding" + (findings.size() == 1 ? "" : "s") + "\n";
    for (const SFinding& finding : findings) {
        text += WideToUtf8(finding.path) + ": " + WideToUtf8(finding.rule) + "\n  " + WideToUtf8(finding.what) + "\n  so " +
                WideToUtf8(finding.causes) + "\n";
        for (const SFinding::STag& tag : finding.tags)
            text += "    " + WideToUtf8(tag.tag) + " reads back as " + WideToUtf8(tag.readsBack) + "\n";
    }
    return text;
}

std::string CheckJson(const std::vector<SFinding>& findings) {
    std::string json = "{\"findings\": [";
    for (size_t f = 0; f < findings.size(); ++f) {
        const SFinding& finding = findings[f];
        json += (f ? ", " : "") + std::string("{\"path\": ") + JsonString(finding.path) + ", \"rule\": " + JsonString(finding.rule) +
                ", \"what\": " + JsonString(finding.what) + ", \"causes\": " + JsonString(finding.causes) + ", \"tags\": [";
        for (size_t t = 0; t < finding.tags.size(); ++t) {
            json += (t ? ", " : "") + std::string("{\"tag\": ") + JsonString(finding.tags[t].tag) +
                    ", \"readsBack\": " + JsonString(finding.tags[t].readsBack) + "}";
        }
        json += "]}";
    }
    return json + "]}\n";
}

std::string LogText(const std::vector<SLogRecord>& records) {
    std::string text;
    for (const SLogRecord& record : records)
        text += WideToUtf8(record.text) + "\n";
    return text;
}

std::string LogJson(const std::vector<SLogRecord>& records) {
    std::string json = "{\"records\": [";
    for (size_t r = 0; r < records.size(); ++r) {
        const SLogRecord& record = records[r];
        json += (r ? ", " : "") + std::string("{\"severity\": ") + (record.severity ? JsonString(SeverityName(record.severity)) : "null") +
                ", \"thread\": " + (record.thread ? std::to_string(*record.thread) : "null") + ", \"text\": " + JsonString(record.text) + "}";
    }
    return json + "]}\n";
}
