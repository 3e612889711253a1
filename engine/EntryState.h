// The small per-entry files the engine keeps in the state folder, all named
// stem + suffix (".trying", ".fails", ...). Reads are tolerant: a missing or garbled
// file reads as absent. Under `serve` they go through its StateCache.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace KestruneEngine {

// What the start runner leaves behind when the start command ends.
struct ExitRecord {
    int status = 0;
    double time = 0; // epoch seconds with fraction
    // stem.began of the start this runner made, so that the end of a copy being
    // replaced is never taken for the end of its successor.
    std::optional<double> began;
    // Why the start command never ran, when the manager refused the runner's unit after
    // the pass had moved on; empty when it ran.
    std::string cause = {};

    // Whether it belongs to the start that began at `began` (records without one
    // belong to any).
    bool belongsTo(double start) const;
};

class EntryState {
public:
    EntryState(std::string stateDir, std::string stem);

    const std::string& stem() const { return stem_; }
    std::string path(std::string_view suffix) const;

    bool exists(std::string_view suffix) const;
    std::optional<std::string> text(std::string_view suffix) const;
    void write(std::string_view suffix, std::string_view content) const;
    // For a file rewritten at every check (see rewriteFileAtomically).
    void rewrite(std::string_view suffix, std::string_view content) const;
    void remove(std::string_view suffix) const;

    // A whole decimal number (counts, whole-second epochs); none when absent.
    std::optional<long long> whole(std::string_view suffix) const;
    void writeWhole(std::string_view suffix, long long value) const;
    // A count that reads as 0 when absent.
    int count(std::string_view suffix) const;
    // Epoch seconds that may carry a fraction.
    std::optional<double> seconds(std::string_view suffix) const;
    void writeSeconds(std::string_view suffix, double value) const;

    std::optional<ExitRecord> exitRecord() const;

private:
    std::string dir_;
    std::string stem_;
};

// "status TAB epoch [TAB began [TAB cause]]" as the start runner (or, for a unit the
// manager refused, its host) writes it.
std::string exitRecordText(const ExitRecord& record);
std::optional<ExitRecord> parseExitRecord(std::string_view text);

// Epoch seconds with millisecond precision in C-locale notation.
std::string secondsText(double seconds);

} // namespace KestruneEngine
