#pragma once
// The system's base exception: every failure carries a message text. Each layer derives its own
// classes from it. Thread contract: immutable after construction, usable from any thread.

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_Message(std::move(message)) {}
    const char* what() const noexcept override { return m_Message.c_str(); }
    const std::string& Message() const noexcept { return m_Message; }
    // Name of the most derived class, as written into exception trace entries.
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string m_Message;
};

// Declares an exception class `Name` derived from `Base` with its own ClassName.
#define TESSIVAR_EXCEPTION(Name, Base)                                                                                 \
    class Name : public Base {                                                                                         \
    public:                                                                                                            \
        using Base::Base;                                                                                              \
        const char* ClassName() const noexcept override { return #Name; }                                              \
    }
