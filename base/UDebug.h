#pragma once
// The program's trace facility. Callable from every thread; one process-wide lock serialises whole
// entries. With the "debug" switch off every call is a single flag test and writes nothing.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

// One value of a trace entry: null, text, integer, floating point or boolean.
class TDebugValue {
public:
    TDebugValue() = default;
    TDebugValue(std::nullptr_t) {}
    TDebugValue(const char* text) : m_Value(std::string(text ? text : "")) {}
    TDebugValue(std::string_view text) : m_Value(std::string(text)) {}
    TDebugValue(const std::string& text) : m_Value(text) {}
    TDebugValue(bool value) : m_Value(value) {}
    TDebugValue(int value) : m_Value(static_cast<int64_t>(value)) {}
    TDebugValue(long value) : m_Value(static_cast<int64_t>(value)) {}
    TDebugValue(long long value) : m_Value(static_cast<int64_t>(value)) {}
    TDebugValue(unsigned value) : m_Value(static_cast<uint64_t>(value)) {}
    TDebugValue(unsigned long value) : m_Value(static_cast<uint64_t>(value)) {}
    TDebugValue(unsigned long long value) : m_Value(static_cast<uint64_t>(value)) {}
    TDebugValue(double value) : m_Value(value) {}

    bool IsNull() const { return std::holds_alternative<std::monostate>(m_Value); }
    // Text form: numbers in decimal, booleans "True"/"False", text unchanged, null empty.
    std::string Text() const;

private:
    std::variant<std::monostate, std::string, int64_t, uint64_t, double, bool> m_Value;
};

// Entry: "HH:NN:SS.ZZZ: Allocated: N, Free: N Thread ID: T." CR LF, the body lines (each TAB ...
// CR LF), CR LF. Entries go to standard output; with "log" as well to ProgramDirectory() + "Logs/" +
// YYYYMMDDHHNNSSZZZ + ".log" (created anew at initialisation; if the directory or file cannot be
// created, LogToFile() stays false for the run).
// Failed writes are ignored; writing to a standard output whose pipe reader has gone (a pager the
// user quit) neither raises SIGPIPE nor stops the entries going to the file.

// Reads the "debug", "log" and "local" switches and opens the log file when asked to. Runs by itself
// before the first entry; main calls it first thing, tests call it again after changing the
// command line (see SetCommandLine in UWindows.h).
void InitializeDebugLog();
// Closes the log file; later entries go to the console only.
void FinalizeDebugLog();

bool DebugMode();
bool LogToFile();
bool UseLocalServices();
// Path of the current log file; empty when no file is written.
std::string DebugLogFileName();

void Debug(const TDebugValue& value);
void DebugList(std::initializer_list<TDebugValue> values);
// objectClass: the class name of the object in which the error arose.
void DebugException(std::string_view objectClass, const std::exception& error);
