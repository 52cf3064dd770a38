#pragma once
// The owner of the benchmarks' views: announces nothing and starts no timer. Model thread only.

#include <string>

#include "ui/UTessivarViews.h"

class TQuietOwner : public ITessivarViewsOwner {
public:
    void ShowNotification(const std::string&, int) override {}
    void PlaySystemSound(const std::string&) override {}
    void StartTrayAnimation() override {}
    void StopTrayAnimation() override {}
    void StartSyncTimer() override {}
};
