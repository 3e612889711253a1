// The file index query of systems that have one: a long-running "mdfind -live"
// child whose output lines are the result paths.
#pragma once

#include "discovery/qt/MetadataQuery.h"

#include <QProcess>
#include <QTimer>
#include <set>

namespace Kestrune {

class MdfindQuery : public MetadataQuery {
    Q_OBJECT
public:
    // `program` is the index's command-line tool; start() fails when it is missing.
    explicit MdfindQuery(std::string program = "/usr/bin/mdfind", QObject* parent = nullptr);
    ~MdfindQuery() override;

    bool start() override;
    void stop() override;
    bool isStarted() const override;
    void disableUpdates() override;
    void enableUpdates() override;
    std::size_t resultCount() const override { return results_.size(); }
    std::optional<std::string> resultPath(std::size_t index) const override;

    // The argument vector start() passes to the program.
    std::vector<std::string> arguments() const;

private:
    void readOutput();
    void takeLine(std::string line);
    void scheduleNotification();
    void notify();

    std::string program_;
    QProcess process_;
    QTimer batch_;
    std::string pending_; // output after the last line end
    std::vector<std::string> results_;
    std::set<std::string> seen_;
    int disabled_ = 0;
    bool gathered_ = false;
    bool dirty_ = false;
};

} // namespace Kestrune
