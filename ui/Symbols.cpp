#include "ui/Symbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include <map>
#include <memory>

// The glyphs are compiled into a static library; its resources must be registered by
// hand or the linker drops them.
static void registerSymbolResources() {
    Q_INIT_RESOURCE(resources);
}

namespace Kestrune {

namespace {

const QString templateKey = QStringLiteral("kestrune-template");

} // namespace

QSvgRenderer* symbolRenderer(const QString& name) {
    static bool registered = (registerSymbolResources(), true);
    (void)registered;
    static std::map<QString, std::unique_ptr<QSvgRenderer>> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        QString path = ":/symbols/" + name + ".svg";
        std::unique_ptr<QSvgRenderer> r;
        if (QFile::exists(path)) {
            r = std::make_unique<QSvgRenderer>(path);
            if (!r->isValid())
                r.reset();
        }
        it = cache.emplace(name, std::move(r)).first;
    }
    return it->second.get();
}

QImage symbolImage(const QString& name, QSize pixelSize) {
    auto* r = symbolRenderer(name);
    if (!r || pixelSize.isEmpty())
        return {};
    QImage image(pixelSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSizeF glyph = QSizeF(r->defaultSize()).scaled(QSizeF(pixelSize), Qt::KeepAspectRatio);
    QRectF rect((pixelSize.width() - glyph.width()) / 2, (pixelSize.height() - glyph.height()) / 2,
                glyph.width(), glyph.height());
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    r->render(&p, rect);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), Qt::black);
    p.end();
    image.setText(templateKey, "1");
    return image;
}

bool isTemplateImage(const QImage& image) {
    return image.text(templateKey) == "1";
}

QImage tintedTemplate(const QImage& image, const QColor& colour) {
    QImage out = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(out.rect(), colour);
    p.end();
    out.setText(templateKey, "1");
    return out;
}

} // namespace Kestrune
