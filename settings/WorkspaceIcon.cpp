#include "settings/WorkspaceIcon.h"

#include "icons/qt/ServiceIcon.h"
#include "platform/BundleInfo.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QIcon>

namespace KestruneCore {

namespace {

constexpr int iconPixels = 64;

std::optional<QImage> imageOf(const QIcon& icon) {
    if (icon.isNull())
        return std::nullopt;
    QImage image = icon.pixmap(QSize(iconPixels, iconPixels)).toImage();
    if (image.isNull())
        return std::nullopt;
    return image;
}

std::optional<QImage> imageFile(const QString& path) {
    // Read by us, as a regular file of an icon's size: the image library never opens
    // whatever an entry's Icon= names itself.
    QImage image = loadIconFile(path.toStdString());
    if (image.isNull())
        return std::nullopt;
    if (image.width() > iconPixels || image.height() > iconPixels)
        image = image.scaled(iconPixels, iconPixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

std::optional<QImage> desktopIcon(const std::string& path) {
    auto entry = readDesktopEntry(path);
    if (!entry || entry->icon.empty())
        return std::nullopt;
    QString name = QString::fromStdString(entry->icon);
    if (name.startsWith('/'))
        return imageFile(name);
    return imageOf(QIcon::fromTheme(name));
}

std::optional<QImage> bundleIcon(const std::string& path) {
    auto file = infoPlistString(path, "CFBundleIconFile");
    if (!file || file->empty() || file->find('/') != std::string::npos)
        return std::nullopt;
    QString resources = QString::fromStdString(path + "/Contents/Resources/" + *file);
    if (auto image = imageFile(resources))
        return image;
    if (QFileInfo(resources).suffix().isEmpty())
        return imageFile(resources + ".icns");
    return std::nullopt;
}

} // namespace

std::optional<QImage> workspaceIcon(const std::string& path) {
    std::optional<QImage> image;
    if (isDesktopFile(path))
        image = desktopIcon(path);
    else if (path.size() > 4 && path.ends_with(".app"))
        image = bundleIcon(path);
    if (image)
        return image;
    static QFileIconProvider provider;
    return imageOf(provider.icon(QFileInfo(QString::fromStdString(path))));
}

} // namespace KestruneCore
