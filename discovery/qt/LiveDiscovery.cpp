#include "discovery/qt/LiveDiscovery.h"

#include "core/Paths.h"
#include "discovery/Discovery.h"
#include "discovery/qt/MdfindQuery.h"
#include "ui/Threads.h"

#include <QCoreApplication>
#include <QPointer>

namespace Kestrune {

LiveDiscovery::LiveDiscovery(std::unique_ptr<MetadataQuery> query, StartQuery startQuery,
                             Fallback fallback, OnChange onChange, QObject* parent)
    : QObject(parent), query_(query ? std::move(query) : defaultQuery()),
      onChange_(std::move(onChange)),
      startQuery_(startQuery ? std::move(startQuery) : StartQuery(&defaultStartQuery)),
      fallback_(fallback ? std::move(fallback) : defaultFallback()) {
    query_->setPredicate(std::string(Discovery::predicate));
    query_->setSearchScopes(Discovery::scopes);
    query_->setNotificationBatchingInterval(2.0);
    connect(query_.get(), &MetadataQuery::didFinishGathering, this, &LiveDiscovery::changed);
    connect(query_.get(), &MetadataQuery::didUpdate, this, &LiveDiscovery::changed);
}

LiveDiscovery::LiveDiscovery(OnChange onChange, QObject* parent)
    : LiveDiscovery(nullptr, nullptr, nullptr, std::move(onChange), parent) {}

LiveDiscovery::~LiveDiscovery() {
    disconnect(query_.get(), nullptr, this, nullptr);
    query_->stop();
}

std::unique_ptr<MetadataQuery> LiveDiscovery::defaultQuery() {
    return std::make_unique<MdfindQuery>();
}

bool LiveDiscovery::defaultStartQuery(MetadataQuery& query) {
    return query.start();
}

LiveDiscovery::Fallback LiveDiscovery::defaultFallback() {
    // Resolved here, on the caller's thread: the environment is not read from workers.
    return [home = KestruneCore::home("~")] { return Discovery::fallbackScan(home); };
}

void LiveDiscovery::start() {
    if (query_->isStarted())
        query_->stop();
    bool ok = startQuery_(*query_);
    usingFallback_ = !ok;
    if (ok)
        return;
    // The result comes back through the application object, which outlives every
    // worker; the guard drops it if this object is gone by then.
    QPointer<LiveDiscovery> self(this);
    QObject* app = QCoreApplication::instance();
    runInBackground([self, app, fallback = fallback_] {
        Paths folders = fallback();
        runOnMain(app, [self, folders = std::move(folders)] {
            if (self && self->onChange_)
                self->onChange_(folders);
        });
    });
}

LiveDiscovery::Paths LiveDiscovery::currentPaths() const {
    query_->disableUpdates();
    Paths paths;
    std::size_t count = query_->resultCount();
    for (std::size_t i = 0; i < count; ++i) {
        auto path = query_->resultPath(i);
        if (path && !path->empty())
            paths.push_back(std::move(*path));
    }
    query_->enableUpdates();
    return paths;
}

void LiveDiscovery::changed() {
    Paths paths = currentPaths();
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    QPointer<LiveDiscovery> self(this);
    QObject* app = QCoreApplication::instance();
    runInBackground([self, app, paths = std::move(paths)] {
        Paths folders = Discovery::repos(paths);
        runOnMain(app, [self, folders = std::move(folders)] {
            if (!self)
                return;
            self->busy_ = false;
            if (self->onChange_)
                self->onChange_(folders);
            if (self && self->again_) {
                self->again_ = false;
                self->changed();
            }
        });
    });
}

} // namespace Kestrune
