#include "icons/qt/ServiceIcon.h"

#include "icons/ImageSupport.h"
#include "icons/ServiceIconSearch.h"
#include "ui/Symbols.h"

#include <QBuffer>
#include <QByteArray>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

namespace KestruneCore {

namespace {

// Glyphs are drawn at this size; the list scales them down.
constexpr int glyphPixels = 64;
constexpr int svgLongSide = 512;

QImage largestImage(QImageReader& reader) {
    QImage best;
    const int count = std::max(reader.imageCount(), 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        QImage image = reader.read();
        if (!image.isNull() && (best.isNull() || qint64(image.width()) * image.height() >
                                                     qint64(best.width()) * best.height()))
            best = image;
    }
    return best;
}

QString qtPath(const std::string& path) {
    return QString::fromStdString(path);
}

} // namespace

QImage decodeIconBytes(const QByteArray& bytes, const QString& suffix) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QString lowered = suffix.toLower();
    if (lowered == "svg" || lowered == "svgz" || reader.format() == "svg" ||
        reader.format() == "svgz") {
        QSvgRenderer svg(bytes);
        if (!svg.isValid())
            return {};
        QSizeF size =
            svg.defaultSize().isEmpty() ? QSizeF(svg.viewBoxF().size()) : QSizeF(svg.defaultSize());
        if (size.isEmpty())
            size = QSizeF(1, 1);
        size.scale(svgLongSide, svgLongSide, Qt::KeepAspectRatio);
        QImage image(size.toSize().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
        return image;
    }
    return largestImage(reader);
}

QImage loadIconFile(const std::string& path) {
    auto bytes = readIconFile(path);
    if (!bytes)
        return {};
    return decodeIconBytes(QByteArray::fromStdString(*bytes), QFileInfo(qtPath(path)).suffix());
}

std::int64_t pngArea(const std::string& path) {
    auto bytes = readIconFile(path);
    if (!bytes)
        return 0;
    QByteArray data = QByteArray::fromRawData(bytes->data(), qsizetype(bytes->size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QSize size = reader.size();
    if (!size.isValid()) {
        QImage image = reader.read();
        size = image.size();
    }
    return size.isValid() ? std::int64_t(size.width()) * size.height() : 0;
}

void installQtImageSupport() {
    // Once only: fetch workers may be reading these answers.
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    auto& support = imageSupport();
    support.readableExtensions.clear();
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        support.readableExtensions.insert(format.toLower().toStdString());
    support.fileLoads = [](const std::string& path) {
        auto bytes = readIconFile(path);
        return bytes && !decodeIconBytes(QByteArray::fromStdString(*bytes), {}).isNull();
    };
    support.bytesLoad = [](std::string_view bytes) {
        QImage image;
        return image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                                  static_cast<int>(bytes.size())) &&
               !image.isNull();
    };
    support.pixelArea = pngArea;
    support.hasSymbol = [](const std::string& name) {
        return Kestrune::symbolRenderer(QString::fromStdString(name)) != nullptr;
    };
}

std::optional<QImage> iconImage(const IconSource& source) {
    switch (source.kind) {
    case IconSource::Kind::file: {
        QImage image = loadIconFile(source.text);
        if (image.isNull())
            return std::nullopt;
        return image;
    }
    case IconSource::Kind::symbol: {
        QImage image =
            Kestrune::symbolImage(QString::fromStdString(source.text), {glyphPixels, glyphPixels});
        if (image.isNull())
            return std::nullopt;
        return image;
    }
    case IconSource::Kind::generic:
        break;
    }
    QImage image = Kestrune::symbolImage(
        QString::fromUtf8(genericServiceSymbol.data(), int(genericServiceSymbol.size())),
        {glyphPixels, glyphPixels});
    image.setText("description", "Service");
    return image;
}

std::optional<QImage> serviceIcon(const std::string& dir,
                                  const std::optional<ServiceConfig>& config) {
    installQtImageSupport();
    return iconImage(serviceIconSource(dir, config));
}

} // namespace KestruneCore
