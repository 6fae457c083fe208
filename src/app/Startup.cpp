#include "Startup.h"

#include "MainWindow.h"
#include "MidiPort.h"

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace Tarsyn {

namespace {

void refuse(const QString &text)
{
    std::fprintf(stderr, "tarsyn-update: %s\n", qPrintable(text));
}

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
// The Qt platform that the user asked for (QT_QPA_PLATFORM or -platform), if any.
QString chosenPlatform(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return QString::fromLocal8Bit(argv[i + 1]);
    }
    return qEnvironmentVariable("QT_QPA_PLATFORM");
}

// While the application object starts, what the toolkit and the display libraries print
// goes to a file: should no platform start (Qt then ends the process from a fatal message),
// the user gets one line that says why instead of their pages and an abort. Once the
// platform has started, what was held goes where it was meant to.
class PlatformStart {
public:
    explicit PlatformStart(const QString &problem)
    {
        problem_ = problem;
        log_ = std::tmpfile();
        std::fflush(stderr);
        savedError_ = ::dup(STDERR_FILENO);
        if (log_ && savedError_ >= 0)
            ::dup2(::fileno(log_), STDERR_FILENO);
        previous_ = qInstallMessageHandler(onMessage);
    }
    ~PlatformStart()
    {
        qInstallMessageHandler(previous_);
        std::fflush(stderr);
        if (savedError_ >= 0) {
            ::dup2(savedError_, STDERR_FILENO);
            ::close(savedError_);
            savedError_ = -1;
        }
        if (log_) {
            std::rewind(log_);
            char buffer[4096];
            for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, log_)) > 0;)
                std::fwrite(buffer, 1, got, stderr);
            std::fclose(log_);
        }
    }
    PlatformStart(const PlatformStart &) = delete;
    PlatformStart &operator=(const PlatformStart &) = delete;

private:
    static void onMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type != QtFatalMsg) {
            if (previous_)
                previous_(type, context, message);
            return;
        }
        if (savedError_ >= 0)
            ::dup2(savedError_, STDERR_FILENO);
        refuse(problem_);
        std::_Exit(1);
    }

    // Static: Qt's message handler is a plain function. One start per process.
    static inline QString problem_;
    static inline int savedError_ = -1;
    static inline QtMessageHandler previous_ = nullptr;
    std::FILE *log_ = nullptr;
};
#endif

} // namespace

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(OrganizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(OrganizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationName));
}

void installStyle()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

int installCatalogues(QSettings &settings, QTranslator &program, QTranslator &toolkit)
{
    const int language = settings.value(QStringLiteral("language"), QStringLiteral("0")).toInt();
    if (language == 1) {
        // A catalogue that does not load is installed empty and translates nothing.
        (void)program.load(QString::fromLatin1(ProgramCatalogue));
        (void)toolkit.load(QString::fromLatin1(ToolkitCatalogue));
        QCoreApplication::installTranslator(&program);
        QCoreApplication::installTranslator(&toolkit);
    }
    return language;
}

int runWindow(int argc, char **argv, const std::function<void(MainWindow &)> &afterShow)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("tarsyn-update " TARSYN_VERSION "\n", stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs("Usage: tarsyn-update [--version] [Qt options]\n"
                       "The Tarsyn+ firmware updater window. German texts: language=1 under [General]\n"
                       "in ~/.config/Quellmark/Tarsyn_update.conf.\n"
                       "\n"
                       "Environment:\n"
                       "  TARSYN_MIDI_API      the MIDI system to use: alsa or jack; unset: every one that runs\n"
                       "  JACK_DEFAULT_SERVER  the JACK server to use; unset: the one named \"default\"\n"
                       "  DISPLAY, WAYLAND_DISPLAY  the display to show the window on\n",
                       stdout);
            return 0;
        }
    }

    const QString unknownApi = MidiPort::unknownApiChoice();
    if (!unknownApi.isEmpty()) {
        refuse(QStringLiteral("TARSYN_MIDI_API is \"%1\", which names no MIDI system: it takes %2, or unset, every "
                              "MIDI system that runs")
                   .arg(unknownApi, MidiPort::apiChoices().join(QLatin1String(" or "))));
        return 1;
    }

    QTranslator programCatalogue;
    QTranslator toolkitCatalogue;
    setApplicationIdentity();
    installStyle();
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    const QString platform = chosenPlatform(argc, argv);
    const QString x11 = qEnvironmentVariable("DISPLAY");
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (platform.isEmpty() && x11.isEmpty() && wayland.isEmpty()) {
        refuse(QStringLiteral("no display to open the window on: neither DISPLAY nor WAYLAND_DISPLAY is set "
                              "(start it from the desktop, or in a terminal of the desktop)"));
        return 1;
    }
    const QString problem =
        !platform.isEmpty() ? QStringLiteral("the Qt platform \"%1\" cannot be started").arg(platform)
        : !x11.isEmpty()    ? QStringLiteral("cannot open a window on the display \"%1\" (DISPLAY): it is not there or "
                                             "does not let this user in")
                               .arg(x11)
                            : QStringLiteral("cannot open a window on the Wayland display \"%1\" (WAYLAND_DISPLAY): it "
                                             "is not there or does not let this user in")
                               .arg(wayland);
    auto platformStart = std::make_unique<PlatformStart>(problem);
    QApplication app(argc, argv);
    platformStart.reset();
#else
    QApplication app(argc, argv);
#endif
    QSettings settings;
    installCatalogues(settings, programCatalogue, toolkitCatalogue);

    MainWindow window;
    window.setRealLink(true);
    window.setVisible(true);
    window.setFixedSize(522, 322);
    window.postShowInit();
    if (afterShow)
        afterShow(window);
    return app.exec();
}

} // namespace Tarsyn
