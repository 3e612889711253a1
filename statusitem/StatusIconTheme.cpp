#include "statusitem/StatusIconTheme.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace Kestrune {

QString statusIconName(KestruneCore::IconState state) {
    using KestruneCore::IconState;
    switch (state) {
    case IconState::orange:
        return "kestrune-warning-symbolic";
    case IconState::red:
        return "kestrune-error-symbolic";
    case IconState::off:
        return "kestrune-off-symbolic";
    case IconState::healthy:
        break;
    }
    return "kestrune-healthy-symbolic";
}

QString statusIconThemePath() {
    QString here = QCoreApplication::applicationDirPath();
    for (const QString& folder : {here + "/icons", here + "/../share/icons"})
        if (QFileInfo::exists(folder + "/hicolor/scalable/status/kestrune-healthy-symbolic.svg"))
            return QDir::cleanPath(folder);
    return {};
}

} // namespace Kestrune
