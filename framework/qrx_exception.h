// Framework exceptions.
//
// An exception carries a type chain, the names of its type from the most
// general to the most specific separated by single colons (a name may itself
// contain "::"), and a catalogued message. Exceptions are C++ exceptions:
// the try frame around a block is an ordinary try/catch, and
// catch (const QRX_Exception&) catches every framework exception. The C++
// classes mirror the chains, so a handler may also catch at any level, for
// example SysAdminException::ExNotFound.
//
// text() is the message bound to text in the user's language; an exception
// without a message yields the last name of its chain.
//
// An exception that no frame catches, once qrx_client_init has run, ends the
// process with status QRX_EXIT_UNCAUGHT after writing
// "Uncaught framework exception <chain>: <text>" to standard error (any
// other uncaught C++ exception keeps the default behaviour).
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "framework/qrx_msg.h"

constexpr int QRX_EXIT_UNCAUGHT = 1;

class QRX_Exception : public std::exception {
  public:
    static const char* chain() { return "Exception"; }

    // Takes ownership of message (which may be null).
    QRX_Exception(const char* typeChain, QRX_Types_XOpenMessage* message);

    const char* typeChain() const { return chain_.c_str(); }
    // Whether `typeName` is one of the names in the chain.
    bool isA(const char* typeName) const;
    // The message, owned by the exception; may be null.
    const QRX_Types_XOpenMessage* message() const { return message_.get(); }
    const char* text() const { return text_.c_str(); }
    const char* what() const noexcept override { return text_.c_str(); }

  private:
    std::string chain_;
    std::shared_ptr<QRX_Types_XOpenMessage> message_;
    std::string text_;
};

// Failures of the runtime itself (an operation it does not offer).
class QRX_SystemException : public QRX_Exception {
  public:
    static const char* chain() { return "Exception:SystemException"; }
    explicit QRX_SystemException(QRX_Types_XOpenMessage* message)
        : QRX_Exception(chain(), message) {}
};

// Failures that a user's request caused.
class QRX_UserException : public QRX_Exception {
  public:
    static const char* chain() { return "Exception:UserException"; }
    explicit QRX_UserException(QRX_Types_XOpenMessage* message) : QRX_Exception(chain(), message) {}

  protected:
    QRX_UserException(const char* typeChain, QRX_Types_XOpenMessage* message)
        : QRX_Exception(typeChain, message) {}
};

namespace SysAdminException {

class ExException : public QRX_UserException {
  public:
    static const char* chain() { return "Exception:UserException:SysAdminException::ExException"; }
    explicit ExException(QRX_Types_XOpenMessage* message) : QRX_UserException(chain(), message) {}

  protected:
    ExException(const char* typeChain, QRX_Types_XOpenMessage* message)
        : QRX_UserException(typeChain, message) {}
};

class ExInvalid : public ExException {
  public:
    static const char* chain() {
        return "Exception:UserException:SysAdminException::ExException:"
               "SysAdminException::ExInvalid";
    }
    explicit ExInvalid(QRX_Types_XOpenMessage* message) : ExException(chain(), message) {}

  protected:
    ExInvalid(const char* typeChain, QRX_Types_XOpenMessage* message)
        : ExException(typeChain, message) {}
};

class ExNotFound : public ExInvalid {
  public:
    static const char* chain() {
        return "Exception:UserException:SysAdminException::ExException:"
               "SysAdminException::ExInvalid:SysAdminException::ExNotFound";
    }
    explicit ExNotFound(QRX_Types_XOpenMessage* message) : ExInvalid(chain(), message) {}

  protected:
    ExNotFound(const char* typeChain, QRX_Types_XOpenMessage* message)
        : ExInvalid(typeChain, message) {}
};

class ExEntryNotFound : public ExNotFound {
  public:
    static const char* chain() {
        return "Exception:UserException:SysAdminException::ExException:"
               "SysAdminException::ExInvalid:SysAdminException::ExNotFound:"
               "SysAdminException::ExEntryNotFound";
    }
    explicit ExEntryNotFound(QRX_Types_XOpenMessage* message) : ExNotFound(chain(), message) {}
};

}  // namespace SysAdminException

// Installs the handler for uncaught framework exceptions (see above).
void qrx_exception_install_handler();
