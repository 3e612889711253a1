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

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

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

// Formats the image library reads, built in or through its standard plugins, by file
// extension. Fixed, because asking the library for its list loads every image plugin;
// decoding a file then loads only the plugin of that file's format.
constexpr std::array<std::string_view, 21> qtReadableExtensions = {
    "bmp", "cur", "gif",  "icns", "ico", "jpeg", "jpg",  "mng",  "pbm", "pgm", "png",
    "ppm", "svg", "svgz", "tga",  "tif", "tiff", "wbmp", "webp", "xbm", "xpm"};

// The format to ask the image library for: the file's extension when it names one it
// reads, else what the first bytes say for the formats site icons come in (a fetched
// icon is stored without its extension); empty when neither tells.
QByteArray readerFormat(const QByteArray& bytes, const QString& suffix) {
    const std::string ext = suffix.toLower().toStdString();
    if (std::find(qtReadableExtensions.begin(), qtReadableExtensions.end(), ext) !=
        qtReadableExtensions.end())
        return QByteArray::fromStdString(ext);
    static const std::array<std::pair<QByteArray, const char*>, 5> magic = {{
        {QByteArray("\x89PNG", 4), "png"},
        {QByteArray("\xff\xd8\xff", 3), "jpeg"},
        {QByteArray("GIF8", 4), "gif"},
        {QByteArray("\0\0\1\0", 4), "ico"},
        {QByteArray("BM", 2), "bmp"},
    }};
    for (const auto& [start, format] : magic)
        if (bytes.startsWith(start))
            return format;
    if (bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP")
        return "webp";
    return {};
}

QImage drawnSvg(const QByteArray& bytes) {
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

} // namespace

QImage decodeIconBytes(const QByteArray& bytes, const QString& suffix) {
    QByteArray format = readerFormat(bytes, suffix);
    if (format == "svg" || format == "svgz")
        return drawnSvg(bytes);
    if (!format.isEmpty()) {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        // Told the format, the reader still offers the bytes to every plugin unless it
        // is told not to guess.
        reader.setAutoDetectImageFormat(false);
        QImage image = largestImage(reader);
        if (!image.isNull())
            return image;
    }
    // Neither the name nor the first bytes told the format (or they lied): let the
    // image library recognise it, which may load every image plugin.
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (reader.format() == "svg" || reader.format() == "svgz")
        return drawnSvg(bytes);
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
    QImageReader reader(&buffer, readerFormat(data, QFileInfo(qtPath(path)).suffix()));
    reader.setAutoDetectImageFormat(false);
    QSize size = reader.size();
    if (!size.isValid())
        size = decodeIconBytes(data, QFileInfo(qtPath(path)).suffix()).size();
    return size.isValid() && !size.isEmpty() ? std::int64_t(size.width()) * size.height() : 0;
}

void installQtImageSupport() {
    // Once only: fetch workers may be reading these answers.
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    auto& support = imageSupport();
    support.readableExtensions.clear();
    for (auto ext : qtReadableExtensions)
        support.readableExtensions.insert(std::string(ext));
    support.fileLoads = [](const std::string& path) { return !loadIconFile(path).isNull(); };
    support.bytesLoad = [](std::string_view bytes) {
        return !decodeIconBytes(QByteArray(bytes.data(), qsizetype(bytes.size())), {}).isNull();
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
