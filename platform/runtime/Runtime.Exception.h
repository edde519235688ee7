#pragma once
// The runtime's exception family: every error of the system is a Runtime::Exception (or a
// class derived from it) carrying its message text and reporting its own class name.

#include <exception>
#include <string>
#include <typeinfo>

namespace Runtime {

/// Base of every exception the system raises; carries the message text.
class Exception : public std::exception {
  public:
    explicit Exception(std::string Msg) : FMessage(std::move(Msg)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    /// The class's own name, without namespaces ("EStreamError").
    virtual const char* ClassName() const noexcept { return "Exception"; }

  private:
    std::string FMessage;
};

/// Declares an exception class that adds nothing but its name.
#define RUNTIME_DECLARE_EXCEPTION(Name, Base)                             \
    class Name : public Base {                                            \
      public:                                                             \
        using Inherited = Base;                                           \
        using Inherited::Inherited;                                       \
        const char* ClassName() const noexcept override { return #Name; } \
    }

RUNTIME_DECLARE_EXCEPTION(EStreamError, Exception);
RUNTIME_DECLARE_EXCEPTION(EConvertError, Exception);
RUNTIME_DECLARE_EXCEPTION(EAssertionFailed, Exception);
RUNTIME_DECLARE_EXCEPTION(EOSError, Exception);
RUNTIME_DECLARE_EXCEPTION(EDecompressionError, Exception);

/// Class name of any exception: ours report their own; others give their demangled type
/// name without namespaces ("runtime_error" for std::runtime_error).
std::string ExceptionClassName(const std::exception& E);

/// The C++ name of a type as written in source ("Nimbra::THttpDispatcher").
std::string DemangledTypeName(const std::type_info& Type);

}  // namespace Runtime
