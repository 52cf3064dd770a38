// One rebuild of the main window's six lists on a large model, offscreen, with a view on each list
// as the main window will have them: the median and spread of 15 refreshes, with the mail lists sorted
// by "Received" (their start) and by "From" (a text column, the slowest to sort).
//
//   bench_refresh_views [emails senders domains]   (default 100000 20000 5000)

#include "bench/BenchDatabase.h"
#include "bench/BenchViewsOwner.h"
#include "bench/BenchRounds.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "ui/UTessivarGridView.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarViews.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// The milliseconds of `rounds` refreshes, each followed by the repaint of every view.
TRounds TimedRefreshes(TTessivarViews& views, TTessivarBusinessLogic& model, int rounds) {
    TRounds times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = TClock::now();
        views.RefreshViews(model);
        QApplication::processEvents();
        times.Add(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
    }
    return times;
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
        std::vector<std::unique_ptr<TTessivarGridView>> shown;
        for (TTessivarGrid* grid : std::initializer_list<TTessivarGrid*>{
                 &views.AwaitingDelivery(), &views.AwaitingAuthorization(), &views.BlockedMail(), &views.Senders(),
                 &views.DomainNames(), &views.ActivityLog()}) {
            shown.push_back(std::make_unique<TTessivarGridView>(*grid));
            shown.back()->resize(590, 300);
            shown.back()->show();
        }
        views.RefreshViews(model);
        views.AwaitingAuthorization().SetSelectedIndex(5);
        std::printf("%d emails, %d senders, %d domain names: %d awaiting delivery, %d awaiting authorization, "
                    "%d blocked, %d senders and %d domain names listed\n",
                    model.EmailCount(), model.EmailAddressCount(), model.DomainNameCount(),
                    views.AwaitingDelivery().rowCount(), views.AwaitingAuthorization().rowCount(),
                    views.BlockedMail().rowCount(), views.Senders().rowCount(), views.DomainNames().rowCount());
        std::printf("refresh, mail by \"Received\": %s\n",
                    TimedRefreshes(views, model, 15).Summary("ms", 1, 1).c_str());
        for (TEmailGrid* grid : {&views.AwaitingDelivery(), &views.AwaitingAuthorization(), &views.BlockedMail()})
            grid->HeaderClicked(TEmailGrid::FromColumn);
        std::printf("refresh, mail by \"From\":     %s\n",
                    TimedRefreshes(views, model, 15).Summary("ms", 1, 1).c_str());
        views.Clear();
        model.Shutdown();
    }
    std::filesystem::remove_all(directory);
    return 0;
}
