#pragma once
// The model of a set-up command: loaded, but neither cleaning, screening nor synchronising, so that
// the mail programs stay as they are and a screening run in the same directory is not disturbed.
// Main thread only.

#include <string>

#include "app/UConsole.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"

class TSetupSession {
public:
    TSetupSession() : m_Signals(m_Loop), m_Model(m_Loop) {
        m_Model.OnAccountClosed = [this](TAccountStatus, const std::string& title, const std::string& text) {
            m_Closed = title + " " + text;
        };
        m_Model.Load();
    }
    TTessivarBusinessLogic& Model() { return m_Model; }
    // Serves the model's calls until Finish; false when a quit signal came first.
    bool Wait() {
        m_Finished = false;
        return m_Loop.RunUntil([this] { return m_Finished; });
    }
    void Finish() { m_Finished = true; }
    // The message of a synchronisation that reported the account closed; empty otherwise.
    const std::string& Closed() const { return m_Closed; }

private:
    TMessageLoop m_Loop;
    TQuitOnSignals m_Signals;
    TTessivarBusinessLogic m_Model;
    bool m_Finished = false;
    std::string m_Closed;
};
