#pragma once
// Test helper: the program's windows over a real model in a folder of its own (database, store,
// registry, autostart entry), started as at a program start, with the model's message loop pumped by
// Qt's event loop. Main test thread only.

#include "base/UFileUtils.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UTessivarApplication.h"
#include "ui/UfrmTessivar.h"
#include "tests/ui/ProcessUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class TMainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-window-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (m_Dir + "config").c_str(), 1);
        // Nothing may reach a real web service: a closed loopback port refuses at once.
        ::setenv("TESSIVAR_SERVICE_HOST", "127.0.0.1:1", 1);
        BeforeStart();
        if (HasFatalFailure())
            return;
        m_Loop = std::make_unique<TMessageLoop>();
        m_Loop->SetQuitBeginsShutdown(false);
        m_Windows = std::make_unique<TTessivarWindows>(*m_Loop, true);
        Main().FormCreate();
        Settle();
    }
    void TearDown() override {
        if (m_Windows)
            Main().Stop();
        m_Windows.reset();
        m_Loop.reset();
        std::filesystem::remove_all(m_Dir);
        for (const char* name : {"TESSIVAR_HOME", "TESSIVAR_REGISTRY_DIR", "XDG_CONFIG_HOME", "TESSIVAR_SERVICE_HOST"})
            ::unsetenv(name);
    }

    // What is to be in place before the program starts (its registry, say).
    virtual void BeforeStart() {}

    TfrmTessivar& Main() const { return m_Windows->Main(); }
    TTessivarBusinessLogic& Model() const { return Main().Model(); }

    // Runs Qt's event loop until the condition holds or the time is up; returns the condition.
    static bool ProcessUntil(const std::function<bool()>& condition, int milliseconds = 10000) {
        return ProcessEventsUntil(condition, milliseconds);
    }

    // Lets a refresh that was put off run.
    void Settle() const {
        ASSERT_TRUE(ProcessUntil([this] { return !Main().RefreshPending(); }));
    }

    std::string m_Dir;
    std::unique_ptr<TMessageLoop> m_Loop;
    std::unique_ptr<TTessivarWindows> m_Windows;
};
