// The checker's findings: PASS / WARN / FAIL lines, each with the check it belongs to and its
// reason, a few measured figures, and the two ways of printing them (a table, or JSON).
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class CheckReport {
public:
    enum Verdict { Pass, Warn, Fail };

    struct Line {
        Verdict verdict;
        std::string check;   // dotted name, e.g. "signature.digest"
        std::string reason;
    };

    void add(Verdict verdict, const std::string &check, const std::string &reason);
    void pass(const std::string &check, const std::string &reason) { add(Pass, check, reason); }
    void warn(const std::string &check, const std::string &reason) { add(Warn, check, reason); }
    void fail(const std::string &check, const std::string &reason) { add(Fail, check, reason); }
    // A measured figure, printed before the summary (a JSON number in the JSON form).
    void figure(const std::string &name, double value);
    // The file and port the report is about, and the checker's architecture.
    void subject(const std::string &file, const std::string &port, const std::string &architecture);

    // The lifetime steps (or some) could not be run: no verdict on the contract can be given,
    // even when nothing failed. how says how to make them run.
    void lifetimeNotRun(const std::string &how) { m_LifetimeNotRun = how; }
    bool lifetimeRan() const { return m_LifetimeNotRun.empty(); }

    size_t count(Verdict verdict) const;
    bool failed() const { return count(Fail) != 0; }
    const std::vector<Line> &lines() const { return m_Lines; }

    void printText(FILE *out) const;
    void printJson(FILE *out) const;

    static const char *verdictName(Verdict verdict);
    // The text as a JSON string literal, quotes included.
    static std::string jsonString(const std::string &text);

private:
    std::vector<Line> m_Lines;
    std::vector<std::pair<std::string, double>> m_Figures;
    std::string m_File, m_Port, m_Architecture;
    std::string m_LifetimeNotRun;
};

// printf into a std::string.
std::string format(const char *pattern, ...) __attribute__((format(gnu_printf, 1, 2)));
