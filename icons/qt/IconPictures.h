// Row pictures of icon files, read, decoded and redrawn on worker threads so that no
// icon file (however large, or however strange the thing at its path) ever holds up
// the main thread. Pictures are kept by the file's path, size and modification time,
// so an edited icon is drawn anew at the next reload.
#pragma once

#include <QImage>
#include <QObject>
#include <QThreadPool>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>

namespace KestruneCore {

class IconPictures : public QObject {
    Q_OBJECT
public:
    // How a picture of the thing at a path is made at `side` pixels, on a worker (so it
    // may use nothing bound to the main thread); a null image when none can be made.
    using Maker = std::function<QImage(const std::string& path, int side)>;

    // Without a maker, paths are icon files, read and normalised; with one, a path may
    // name anything that exists (an app's file or folder) and the maker draws it.
    explicit IconPictures(Maker make = {}, QObject* parent = nullptr);
    ~IconPictures() override;

    // The picture of the thing at `path`, normalised at `side` × `side` pixels.
    // Ready: the picture (a null image when the path is no regular icon file, or does
    // not decode). Not ready: none, and `ready(path)` follows once it is made.
    std::optional<QImage> picture(const std::string& path, int side);

    // The last picture made of `path` at `side`, whatever the file held then; a stand-in
    // while its current content is being made. Null when there is none.
    QImage previous(const std::string& path, int side) const;

    // Whether a picture is being made.
    bool busy() const { return !making_.empty(); }
    // Blocks until no picture is being made (tests and benchmarks).
    void waitForDone();

signals:
    // A picture of the file at this path is ready; ask picture() again.
    void ready(const QString& path);

private:
    // Path, file size, modification time (ns), side.
    using Key = std::tuple<std::string, std::int64_t, std::int64_t, int>;
    void finished(const Key& key, const QImage& image);

    Maker make_;
    std::map<Key, QImage> done_;
    std::set<Key> making_;
    QThreadPool pool_;
};

} // namespace KestruneCore
