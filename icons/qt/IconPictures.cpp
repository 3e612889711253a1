#include "icons/qt/IconPictures.h"

#include "icons/ServiceIconSearch.h"
#include "icons/qt/NormalizedIcon.h"
#include "icons/qt/ServiceIcon.h"

#include <QCoreApplication>

#include <utility>

#include <sys/stat.h>

namespace KestruneCore {

namespace {

// Decoding is CPU-bound; two workers keep a list of logos moving without taking the
// machine.
constexpr int workers = 2;

} // namespace

IconPictures::IconPictures(Maker make, QObject* parent) : QObject(parent), make_(std::move(make)) {
    pool_.setMaxThreadCount(workers);
}

IconPictures::~IconPictures() {
    // Workers post back to this object: none may still be running once it goes.
    pool_.clear();
    pool_.waitForDone();
}

std::optional<QImage> IconPictures::picture(const std::string& path, int side) {
    // stat never opens the file, so it cannot block on a FIFO or wake a device.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return QImage();
    const Key key{path, std::int64_t(st.st_size),
                  std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, side};
    if (auto it = done_.find(key); it != done_.end())
        return it->second;
    if (!make_ && (!S_ISREG(st.st_mode) || st.st_size <= 0 ||
                   static_cast<unsigned long long>(st.st_size) > maxIconFileBytes))
        return QImage();
    if (making_.insert(key).second) {
        pool_.start([this, key] {
            // loadIconFile reads the file itself and checks again that it is regular.
            QImage image = make_ ? make_(std::get<0>(key), std::get<3>(key))
                                 : normalizedIcon(loadIconFile(std::get<0>(key)), std::get<3>(key));
            QMetaObject::invokeMethod(
                this, [this, key, image] { finished(key, image); }, Qt::QueuedConnection);
        });
    }
    return std::nullopt;
}

QImage IconPictures::previous(const std::string& path, int side) const {
    for (const auto& [key, image] : done_)
        if (std::get<0>(key) == path && std::get<3>(key) == side)
            return image;
    return {};
}

void IconPictures::finished(const Key& key, const QImage& image) {
    making_.erase(key);
    // One picture per file and side: an older content's picture goes.
    for (auto it = done_.begin(); it != done_.end();)
        if (std::get<0>(it->first) == std::get<0>(key) &&
            std::get<3>(it->first) == std::get<3>(key))
            it = done_.erase(it);
        else
            ++it;
    done_.emplace(key, image);
    emit ready(QString::fromStdString(std::get<0>(key)));
}

void IconPictures::waitForDone() {
    while (!making_.empty()) {
        pool_.waitForDone();
        QCoreApplication::sendPostedEvents(this);
    }
}

} // namespace KestruneCore
