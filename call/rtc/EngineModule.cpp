#include "call/rtc/EngineModule.h"

#include "BuildConfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QTimer>
#include <dlfcn.h>
#include <future>

namespace rtc {

namespace {

struct LoadedModule {
    EngineEntry entry = nullptr;
    QString error;
};

LoadedModule load(const QByteArray& path) {
    LoadedModule loaded;
    // Functions are bound at their first call, as for any program: binding all of them here
    // made the load about a third longer (55 ms against 40), and the window waits for the load.
    // The module is never closed: engines and their queued events hold its code.
    void* handle = ::dlopen(path.constData(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        loaded.error = QString::fromLocal8Bit(::dlerror());
        return loaded;
    }
    loaded.entry = reinterpret_cast<EngineEntry>(::dlsym(handle, kEngineEntryName));
    if (!loaded.entry)
        loaded.error = QString::fromLocal8Bit(path) + QStringLiteral(" has no engine in it");
    else if (auto prepare = reinterpret_cast<void (*)()>(::dlsym(handle, kEnginePrepareName)))
        prepare();
    return loaded;
}

} // namespace

QString engineModulePath() {
    // Always a full path: a bare name would send the loader along library search paths, some of
    // which may name the current folder.
    const QString installed = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                              QStringLiteral(COLLOQ_ENGINE_DIR_FROM_PROGRAM) + QLatin1Char('/') +
                              QLatin1String(kEngineModuleFile);
    if (QFileInfo::exists(installed)) return QFileInfo(installed).absoluteFilePath();
    return QStringLiteral(COLLOQ_ENGINE_BUILD_DIR) + QLatin1Char('/') + QLatin1String(kEngineModuleFile);
}

ClientFactory loadEngineModule(const QString& path) {
    // The load starts when the program first lets events run, which it does once its window is
    // built (or when an engine is asked for before that). Started earlier, it held up the
    // building of the window for as long as it ran: Qt starts threads of its own then, and a new
    // thread waits for the dynamic loader to finish whatever it is loading.
    // A std::async future waits for its thread when the last copy goes, so a program that ends
    // before the load is done does not unload libraries under a thread still loading them.
    struct Loading {
        QByteArray path;
        std::shared_future<LoadedModule> module;
        void start() {
            if (!module.valid()) module = std::async(std::launch::async, load, path).share();
        }
    };
    auto loading = std::make_shared<Loading>();
    loading->path = path.toLocal8Bit();
    QTimer::singleShot(0, QCoreApplication::instance(), [loading] { loading->start(); });
    return [loading]() -> std::shared_ptr<IRTCClient2> {
        loading->start();
        const LoadedModule& loaded = loading->module.get();
        if (!loaded.entry) {
            qWarning().noquote() << "The call engine could not be loaded:" << loaded.error;
            return nullptr;
        }
        std::shared_ptr<IRTCClient2> engine;
        loaded.entry(kEngineInterfaceVersion, &engine);
        if (!engine) qWarning("The call engine module does not fit this program.");
        return engine;
    };
}

} // namespace rtc
