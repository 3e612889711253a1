#include "ui/Threads.h"

#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

namespace Kestrune {

void runInBackground(std::function<void()> work) {
    QThreadPool::globalInstance()->start(std::move(work));
}

void runOnMain(QObject* context, std::function<void()> work) {
    QPointer<QObject> guard(context);
    QMetaObject::invokeMethod(
        context,
        [guard, work = std::move(work)] {
            if (guard)
                work();
        },
        Qt::QueuedConnection);
}

} // namespace Kestrune
