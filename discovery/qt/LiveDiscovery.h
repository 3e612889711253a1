// Keeps the list of service folders found on this machine current: a live file
// index query whose results are turned into service folders off the main thread,
// or, when the query cannot be started, the bounded folder walk.
#pragma once

#include "discovery/qt/MetadataQuery.h"

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Kestrune {

class LiveDiscovery : public QObject {
    Q_OBJECT
public:
    using Paths = std::vector<std::string>;
    using StartQuery = std::function<bool(MetadataQuery&)>;
    using Fallback = std::function<Paths()>;
    using OnChange = std::function<void(const Paths&)>;

    // A null query or an empty callback takes its default: the index query of this
    // system, starting it, and the folder walk of the current home folder.
    // `onChange` receives each new list, always on the main thread.
    LiveDiscovery(std::unique_ptr<MetadataQuery> query, StartQuery startQuery, Fallback fallback,
                  OnChange onChange, QObject* parent = nullptr);
    explicit LiveDiscovery(OnChange onChange, QObject* parent = nullptr);
    ~LiveDiscovery() override;

    MetadataQuery& query() const { return *query_; }
    // Whether the last start() could not start the query and used the walk.
    bool usingFallback() const { return usingFallback_; }

    // (Re)starts discovery: stops a running query and starts it again, or walks.
    void start();
    void refresh() { start(); }

    // The paths of the query's current results, in result order.
    Paths currentPaths() const;

    static std::unique_ptr<MetadataQuery> defaultQuery();
    static bool defaultStartQuery(MetadataQuery& query);
    // The walk of the current home folder (resolved when the fallback is made).
    static Fallback defaultFallback();

public slots:
    // The query's results were gathered or changed.
    void changed();

private:
    std::unique_ptr<MetadataQuery> query_;
    OnChange onChange_;
    StartQuery startQuery_;
    Fallback fallback_;
    bool usingFallback_ = false;
    // A conversion of query results is running; `again_`: results changed meanwhile.
    bool busy_ = false;
    bool again_ = false;
};

} // namespace Kestrune
