#include "CheckReport.h"

#include <cstdarg>

std::string format(const char *pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(&text[0], text.size() + 1, pattern, args);
    }
    va_end(args);
    return text;
}

void CheckReport::add(Verdict verdict, const std::string &check, const std::string &reason)
{
    m_Lines.push_back(Line{verdict, check, reason});
}

void CheckReport::figure(const std::string &name, double value)
{
    m_Figures.emplace_back(name, value);
}

void CheckReport::subject(const std::string &file, const std::string &port, const std::string &architecture)
{
    m_File = file;
    m_Port = port;
    m_Architecture = architecture;
}

size_t CheckReport::count(Verdict verdict) const
{
    size_t n = 0;
    for (const Line &line : m_Lines) {
        n += line.verdict == verdict ? 1 : 0;
    }
    return n;
}

const char *CheckReport::verdictName(Verdict verdict)
{
    switch (verdict) {
    case Pass:
        return "PASS";
    case Warn:
        return "WARN";
    default:
        return "FAIL";
    }
}

void CheckReport::printText(FILE *out) const
{
    std::fprintf(out, "korvat_nfc_plugin_check (%s): %s%s%s\n", m_Architecture.c_str(), m_File.c_str(),
                 m_Port.empty() ? "" : ", port ", m_Port.c_str());
    size_t width = 0;
    for (const Line &line : m_Lines) {
        width = line.check.size() > width ? line.check.size() : width;
    }
    for (const auto &figure : m_Figures) {
        width = figure.first.size() > width ? figure.first.size() : width;
    }
    for (const Line &line : m_Lines) {
        std::fprintf(out, "%s  %-*s  %s\n", verdictName(line.verdict), static_cast<int>(width), line.check.c_str(),
                     line.reason.c_str());
    }
    for (const auto &figure : m_Figures) {
        std::fprintf(out, "      %-*s  %g\n", static_cast<int>(width), figure.first.c_str(), figure.second);
    }
    const std::string verdict =
        failed() ? "the plug-in does not keep the contract"
        : !lifetimeRan()
            ? "not confirmed: the lifetime steps were not run (FreeLibrary and process exit with the plug-in in "
              "use), so the plug-in is not known to keep the contract; " + m_LifetimeNotRun
            : "the plug-in keeps the contract";
    std::fprintf(out, "SUMMARY  %zu passed, %zu warnings, %zu failed: %s\n", count(Pass), count(Warn), count(Fail),
                 verdict.c_str());
}

std::string CheckReport::jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20) {
                out += format("\\u%04x", u);
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

void CheckReport::printJson(FILE *out) const
{
    std::fprintf(out, "{\n  \"checker_architecture\": %s,\n  \"file\": %s,\n  \"port\": %s,\n  \"checks\": [",
                 jsonString(m_Architecture).c_str(), jsonString(m_File).c_str(),
                 m_Port.empty() ? "null" : jsonString(m_Port).c_str());
    for (size_t i = 0; i < m_Lines.size(); ++i) {
        const Line &line = m_Lines[i];
        std::fprintf(out, "%s\n    {\"verdict\": \"%s\", \"check\": %s, \"reason\": %s}", i == 0 ? "" : ",",
                     verdictName(line.verdict), jsonString(line.check).c_str(), jsonString(line.reason).c_str());
    }
    std::fprintf(out, "\n  ],\n  \"figures\": {");
    for (size_t i = 0; i < m_Figures.size(); ++i) {
        std::fprintf(out, "%s\n    %s: %g", i == 0 ? "" : ",", jsonString(m_Figures[i].first).c_str(),
                     m_Figures[i].second);
    }
    std::fprintf(out,
                 "%s},\n  \"summary\": {\"passed\": %zu, \"warnings\": %zu, \"failed\": %zu, \"keeps_contract\": %s, "
                 "\"lifetime_not_run\": %s}\n}\n",
                 m_Figures.empty() ? "" : "\n  ", count(Pass), count(Warn), count(Fail),
                 failed() || !lifetimeRan() ? "false" : "true",
                 lifetimeRan() ? "null" : jsonString(m_LifetimeNotRun).c_str());
}
