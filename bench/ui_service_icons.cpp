// Service icon lookups over 30 generated project folders (Vite, Tauri, Next.js-style
// and bare folders), uncached and cached, and the normalisation of one 1024 × 1024 PNG,
// on the full canvas and at the size a row shows.
#include "TempDir.h"
#include "icons/qt/NormalizedIcon.h"
#include "icons/qt/ServiceIcon.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace KestruneCore;

QGuiApplication& application() {
    static int argc = 1;
    static char name[] = "bench_ui_service_icons";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QGuiApplication app(argc, argv);
    return app;
}

std::string png(QSize size, bool opaque) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, Qt::red);
    g.setColorAt(1, Qt::blue);
    if (opaque)
        p.fillRect(image.rect(), g);
    else
        p.setBrush(g), p.setPen(Qt::NoPen), p.drawEllipse(image.rect().adjusted(60, 60, -60, -60));
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

struct Projects {
    KestruneTest::TempDir tmp;
    std::vector<std::string> dirs;

    Projects() {
        const std::string small = png({32, 32}, true), large = png({128, 128}, true);
        for (int i = 0; i < 30; ++i) {
            const std::string d = "p" + std::to_string(i);
            tmp.write(d + "/package.json", R"({"name": "x", "scripts": {"dev": "vite"}})");
            tmp.write(d + "/src/main.ts", "");
            tmp.mkdir(d + "/node_modules/public");
            switch (i % 4) {
            case 0: // Vite
                tmp.write(d + "/public/favicon.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>");
                break;
            case 1: // Tauri
                tmp.write(d + "/src-tauri/tauri.conf.json",
                          R"({"bundle": {"icon": ["icons/32x32.png", "icons/128x128.png"]}})");
                tmp.write(d + "/src-tauri/icons/32x32.png", small);
                tmp.write(d + "/src-tauri/icons/128x128.png", large);
                break;
            case 2: // Next.js with a manifest
                tmp.mkdir(d + "/app");
                tmp.write(d + "/public/manifest.json",
                          R"({"icons": [{"src": "/icon-192.png", "sizes": "192x192"},
                                        {"src": "/icon-512.png", "sizes": "512x512"}]})");
                tmp.write(d + "/public/icon-192.png", small);
                tmp.write(d + "/public/icon-512.png", large);
                break;
            default: // nothing
                break;
            }
            dirs.push_back(tmp / d);
        }
    }
};

Projects& projects() {
    static Projects p;
    return p;
}

void BM_ServiceIconSourceUncached(benchmark::State& state) {
    application();
    installQtImageSupport();
    liveIconDir.reset();
    for (auto _ : state) {
        clearIconCache();
        for (const auto& dir : projects().dirs)
            benchmark::DoNotOptimize(serviceIconSource(dir, std::nullopt));
    }
    state.SetItemsProcessed(state.iterations() * 30);
}
BENCHMARK(BM_ServiceIconSourceUncached);

void BM_ServiceIconSourceCached(benchmark::State& state) {
    application();
    installQtImageSupport();
    liveIconDir.reset();
    clearIconCache();
    for (const auto& dir : projects().dirs)
        serviceIconSource(dir, std::nullopt);
    for (auto _ : state)
        for (const auto& dir : projects().dirs)
            benchmark::DoNotOptimize(serviceIconSource(dir, std::nullopt));
    state.SetItemsProcessed(state.iterations() * 30);
}
BENCHMARK(BM_ServiceIconSourceCached);

// arg 0: a full-bleed square (squircle tile), arg 1: a round badge (plain redraw).
void BM_NormalizedIcon1024(benchmark::State& state) {
    application();
    QImage image =
        QImage::fromData(QByteArray::fromStdString(png({1024, 1024}, state.range(0) == 0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(normalizedIcon(image));
}
BENCHMARK(BM_NormalizedIcon1024)
    ->Arg(0)
    ->Arg(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// A row's picture made where it is shown (a 32-point row at pixel ratio 2: 64 px).
// args: source side (1024, or the 256 an SVG or a mid-size logo gives), then 0 for a
// full-bleed square (squircle tile), 1 for a round badge (plain redraw).
void BM_NormalizedIconAtRowSize(benchmark::State& state) {
    application();
    const int side = int(state.range(0));
    QImage image =
        QImage::fromData(QByteArray::fromStdString(png({side, side}, state.range(1) == 0)))
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state)
        benchmark::DoNotOptimize(normalizedIcon(image, 64));
}
BENCHMARK(BM_NormalizedIconAtRowSize)
    ->Args({1024, 0})
    ->Args({1024, 1})
    ->Args({256, 0})
    ->Args({256, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

// What a worker does for one row: read, decode and normalise a 1024 PNG at 64 px.
void BM_RowPictureFromFile(benchmark::State& state) {
    application();
    KestruneTest::TempDir tmp;
    const std::string path = tmp.write("icon.png", png({1024, 1024}, true));
    for (auto _ : state)
        benchmark::DoNotOptimize(normalizedIcon(loadIconFile(path), 64));
}
BENCHMARK(BM_RowPictureFromFile)->Unit(benchmark::kMillisecond);

} // namespace
