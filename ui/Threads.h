// The program's two places to run work: the main thread (the Qt event loop) and the
// global thread pool. Results travel back to the main thread by value.
#pragma once

#include <QObject>
#include <functional>

namespace Kestrune {

// Runs `work` on the global thread pool.
void runInBackground(std::function<void()> work);

// Queues `work` on the thread of `context` (the main thread for our objects). It
// does not run if `context` is destroyed first.
void runOnMain(QObject* context, std::function<void()> work);

} // namespace Kestrune
