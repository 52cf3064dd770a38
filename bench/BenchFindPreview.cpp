// The find field and the message preview on a large model, offscreen: the median time one keystroke
// takes to narrow every list (100,000 emails by default), and the median time to show the preview
// of a 1 MB message (text and a base64 attachment) in the preview pane.
//
//   bench_find_preview [emails senders domains]   (default 100000 20000 5000)

#include "bench/BenchDatabase.h"
#include "bench/BenchViewsOwner.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "ui/UMessagePreview.h"
#include "ui/UMessagePreviewPane.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarViews.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double Milliseconds(TClock::time_point start) {
    return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

// A message of about one megabyte: 300 KB of quoted-printable text and a 700 KB base64 attachment.
std::string MegabyteMessage() {
    std::string message = "From: Sender <sender@example.test>\r\nTo: me@example.test\r\nSubject: Big one\r\n"
                          "Date: Tue, 3 Mar 2026 10:00:00 +0100\r\nMIME-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                          "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable"
                          "\r\n\r\n";
    while (message.size() < 300 * 1024)
        message += "Caf=E9 and a line of ordinary text that goes on for a while, as mail does.=\r\n\r\n";
    message += "--b\r\nContent-Type: application/pdf; name=\"big.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    while (message.size() < 1024 * 1024)
        message += std::string(76, 'Q') + "\r\n";
    return message + "--b--\r\n";
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::string directory = PrepareBenchHome(argc, argv);
    if (directory.empty())
        return 1;
    {
        TIdleCallTarget target;
        TTessivarBusinessLogic model(target);
        model.Load();
        TQuietOwner owner;
        TTessivarViews views(owner);
        views.RefreshViews(model);
        const std::vector<TTessivarGrid*> grids{&views.AwaitingDelivery(), &views.AwaitingAuthorization(),
                                                &views.BlockedMail(),      &views.Senders(),
                                                &views.DomainNames(),      &views.ActivityLog()};
        // Typing a sender's address a character at a time, then deleting it again.
        const QString typed = QStringLiteral("sender12@");
        std::vector<double> keystrokes;
        for (int round = 0; round < 3; ++round)
            for (int length = 1; length <= typed.size() * 2; ++length) {
                const int shown = length <= typed.size() ? length : typed.size() * 2 - length;
                const auto start = TClock::now();
                for (TTessivarGrid* grid : grids)
                    grid->SetFilter(typed.left(shown));
                keystrokes.push_back(Milliseconds(start));
            }
        int listed = 0;
        for (TTessivarGrid* grid : grids)
            listed += grid->rowCount();
        std::printf("%d emails: find, one keystroke over every list: median %.1f ms, worst %.1f ms (%d rows left "
                    "shown at the end)\n",
                    model.EmailCount(), Median(keystrokes), *std::max_element(keystrokes.begin(), keystrokes.end()),
                    listed);
        views.Clear();
        model.Shutdown();
    }

    const std::string message = MegabyteMessage();
    const std::string path = directory + "big.eml";
    std::ofstream(path, std::ios::binary) << message;
    TMessagePreviewPane pane;
    pane.resize(600, 400);
    pane.show();
    std::vector<double> previews;
    for (int round = 0; round < 15; ++round) {
        const auto start = TClock::now();
        pane.ShowPreview(PreviewMessageFile(path));
        QApplication::processEvents();
        previews.push_back(Milliseconds(start));
    }
    std::printf("preview of a %.2f MB message (read, decode, show): median %.1f ms\n",
                static_cast<double>(message.size()) / (1024.0 * 1024.0), Median(previews));
    std::filesystem::remove_all(directory);
    return 0;
}
