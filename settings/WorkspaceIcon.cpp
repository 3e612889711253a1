#include "settings/WorkspaceIcon.h"

#include "icons/qt/NormalizedIcon.h"
#include "icons/qt/ServiceIcon.h"
#include "platform/BundleInfo.h"

#include <QFileInfo>
#include <QIcon>

#include <algorithm>

namespace KestruneCore {

namespace {

constexpr const char* genericProgramIcon = "application-x-executable";

QImage namedIcon(const std::string& name, const IconThemeSearch& themes, int pixels) {
    if (name.starts_with('/'))
        return loadIconFile(name);
    auto file = themeIconFile(themes, name, pixels);
    return file ? loadIconFile(*file) : QImage();
}

QImage bundleIcon(const std::string& path) {
    auto file = infoPlistString(path, "CFBundleIconFile");
    if (!file || file->empty() || file->find('/') != std::string::npos)
        return {};
    const std::string resources = path + "/Contents/Resources/" + *file;
    QImage image = loadIconFile(resources);
    if (image.isNull() && QFileInfo(QString::fromStdString(resources)).suffix().isEmpty())
        image = loadIconFile(resources + ".icns");
    return image;
}

} // namespace

QImage workspaceIcon(const std::string& path, const IconThemeSearch& themes, int pixels) {
    QImage image;
    if (isDesktopFile(path)) {
        if (auto entry = readDesktopEntry(path); entry && !entry->icon.empty())
            image = namedIcon(entry->icon, themes, pixels);
    } else if (path.size() > 4 && path.ends_with(".app")) {
        image = bundleIcon(path);
    }
    if (image.isNull())
        image = namedIcon(genericProgramIcon, themes, pixels);
    return image;
}

IconThemeSearch desktopIconThemes() {
    // Qt's folders first (a desktop may add its own), then the standard ones, which a
    // bare platform plugin leaves out.
    IconThemeSearch search;
    for (const QString& base : QIcon::themeSearchPaths())
        if (base.startsWith('/')) // not the program's own resources
            search.bases.push_back(base.toStdString());
    for (auto& base : iconThemeFolders())
        if (std::find(search.bases.begin(), search.bases.end(), base) == search.bases.end())
            search.bases.push_back(std::move(base));
    search.theme = (QIcon::themeName().isEmpty() ? QIcon::fallbackThemeName() : QIcon::themeName())
                       .toStdString();
    return search;
}

IconPictures::Maker workspacePictureMaker() {
    return [themes = desktopIconThemes()](const std::string& path, int side) {
        return normalizedIcon(workspaceIcon(path, themes, side), side);
    };
}

} // namespace KestruneCore
