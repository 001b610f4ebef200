#pragma once
#include <QString>
#include <stdexcept>

// Errors are exceptions that carry a message; the logger writes their class
// name, so every exception class of the system names itself.
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& AMessage)
        : std::runtime_error(AMessage.toStdString()), FMessage(AMessage) {}
    const QString& Message() const { return FMessage; }
    virtual QString ClassName() const { return QStringLiteral("Exception"); }

private:
    QString FMessage;
};

#define OV_DECLARE_EXCEPTION(Name, Base)                                                           \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        QString ClassName() const override { return QStringLiteral(#Name); }                       \
    }

OV_DECLARE_EXCEPTION(EConvertError, Exception);
OV_DECLARE_EXCEPTION(EInOutError, Exception);

// Class name and message of any exception, for log lines and error texts.
QString ExceptionClassName(const std::exception& E);
QString ExceptionMessage(const std::exception& E);
