#include "discovery/qt/MdfindQuery.h"

#include "discovery/Discovery.h"

#include <QFileInfo>
#include <QStringList>

namespace Kestrune {

namespace {

// A line longer than any path is noise; it is dropped rather than kept growing.
constexpr std::size_t maxLineBytes = 1u << 20;

} // namespace

MdfindQuery::MdfindQuery(std::string program, QObject* parent)
    : MetadataQuery(parent), program_(std::move(program)) {
    batch_.setSingleShot(true);
    connect(&batch_, &QTimer::timeout, this, &MdfindQuery::notify);
    connect(&process_, &QProcess::readyReadStandardOutput, this, &MdfindQuery::readOutput);
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.setStandardInputFile(QProcess::nullDevice());
}

MdfindQuery::~MdfindQuery() {
    stop();
}

std::vector<std::string> MdfindQuery::arguments() const {
    std::vector<std::string> args{"-live"};
    for (const auto& scope : searchScopes()) {
        // The whole computer is the tool's own default; other scopes are folders.
        if (scope != Discovery::localComputerScope) {
            args.emplace_back("-onlyin");
            args.push_back(scope);
        }
    }
    args.push_back(predicate());
    return args;
}

bool MdfindQuery::start() {
    stop();
    QString program = QString::fromStdString(program_);
    if (!QFileInfo(program).isExecutable())
        return false;
    results_.clear();
    seen_.clear();
    pending_.clear();
    gathered_ = false;
    dirty_ = false;
    QStringList args;
    for (const auto& arg : arguments())
        args << QString::fromStdString(arg);
    process_.start(program, args, QIODevice::ReadOnly);
    if (!process_.waitForStarted(5000)) {
        stop();
        return false;
    }
    return true;
}

void MdfindQuery::stop() {
    batch_.stop();
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool MdfindQuery::isStarted() const {
    return process_.state() != QProcess::NotRunning;
}

void MdfindQuery::disableUpdates() {
    ++disabled_;
}

void MdfindQuery::enableUpdates() {
    if (disabled_ > 0 && --disabled_ == 0 && dirty_)
        scheduleNotification();
}

std::optional<std::string> MdfindQuery::resultPath(std::size_t index) const {
    if (index >= results_.size())
        return std::nullopt;
    return results_[index];
}

void MdfindQuery::readOutput() {
    QByteArray bytes = process_.readAllStandardOutput();
    pending_.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    std::size_t start = 0;
    for (std::size_t lf; (lf = pending_.find('\n', start)) != std::string::npos; start = lf + 1)
        takeLine(pending_.substr(start, lf - start));
    pending_.erase(0, start);
    if (pending_.size() > maxLineBytes)
        pending_.clear();
    if (dirty_)
        scheduleNotification();
}

void MdfindQuery::takeLine(std::string line) {
    // Lines that are not paths are the tool's progress notes: something changed.
    dirty_ = true;
    if (line.empty() || line.front() != '/' || seen_.contains(line))
        return;
    seen_.insert(line);
    results_.push_back(std::move(line));
}

void MdfindQuery::scheduleNotification() {
    if (disabled_ > 0 || batch_.isActive())
        return;
    batch_.start(static_cast<int>(notificationBatchingInterval() * 1000));
}

void MdfindQuery::notify() {
    if (disabled_ > 0 || !dirty_)
        return;
    dirty_ = false;
    if (!gathered_) {
        gathered_ = true;
        emit didFinishGathering();
    } else {
        emit didUpdate();
    }
}

} // namespace Kestrune
