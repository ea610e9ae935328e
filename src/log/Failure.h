#pragma once

#include <QString>

#include <optional>
#include <utility>

// What went wrong, in the shape every part of the core reports it: a code the
// program can act on, the words for the user (naming the file, key or byte)
// and the system's errno when a system call was the cause.

// The codes of failures that have no list of their own. A domain with its own
// list (fault texts, control commands, profile packets) uses its enum instead.
enum class FailureCode {
    None,
    System,    // a system call failed: systemError says how
    BadInput,  // a text, file or datagram is not what it must be
    Refused,   // well formed, but not taken: not a regular file, too large, not allowed
};

template <typename Code>
struct BasicFailure {
    Code code{};
    QString message;
    int systemError = 0;  // errno, 0 when no system call failed or a library kept it to itself
};

using Failure = BasicFailure<FailureCode>;

inline Failure systemFailure(int systemError, QString message) {
    return Failure{FailureCode::System, std::move(message), systemError};
}
inline Failure inputFailure(QString message) { return Failure{FailureCode::BadInput, std::move(message), 0}; }
inline Failure refusedFailure(QString message) { return Failure{FailureCode::Refused, std::move(message), 0}; }

// What a function that returns nothing reports: nothing, or its failure.
using MaybeFailure = std::optional<Failure>;

// The words of a failure, or an empty text.
inline QString messageOf(const MaybeFailure& failure) { return failure ? failure->message : QString(); }

// A value, or the failure that stood in its way.
template <typename T, typename Code = FailureCode>
class Outcome {
public:
    Outcome(T value) : value_(std::move(value)) {}
    Outcome(BasicFailure<Code> failure) : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    T& value() { return value_.value(); }
    const T& value() const { return value_.value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // Empty (code None, no message) when ok().
    const BasicFailure<Code>& failure() const { return failure_; }

private:
    std::optional<T> value_;
    BasicFailure<Code> failure_;
};
