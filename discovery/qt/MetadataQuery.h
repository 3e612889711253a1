// A live query of the file index: configured once, started and stopped, it keeps a
// list of results and announces, at most once per batching interval, that the list
// was gathered or changed.
#pragma once

#include <QObject>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

class MetadataQuery : public QObject {
    Q_OBJECT
public:
    explicit MetadataQuery(QObject* parent = nullptr) : QObject(parent) {}
    ~MetadataQuery() override = default;

    void setPredicate(std::string predicate) { predicate_ = std::move(predicate); }
    const std::string& predicate() const { return predicate_; }
    void setSearchScopes(std::vector<std::string> scopes) { scopes_ = std::move(scopes); }
    const std::vector<std::string>& searchScopes() const { return scopes_; }
    void setNotificationBatchingInterval(double seconds) { batchingInterval_ = seconds; }
    double notificationBatchingInterval() const { return batchingInterval_; }

    // Whether the query started; a query that started keeps running until stop().
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual bool isStarted() const = 0;

    // While disabled the results stay as they are, so they can be read one by one.
    virtual void disableUpdates() {}
    virtual void enableUpdates() {}

    virtual std::size_t resultCount() const = 0;
    // The path of one result; none when the result is not a file item or has no path.
    virtual std::optional<std::string> resultPath(std::size_t index) const = 0;

signals:
    void didFinishGathering();
    void didUpdate();

private:
    std::string predicate_;
    std::vector<std::string> scopes_;
    double batchingInterval_ = 1.0;
};

} // namespace Kestrune
