#pragma once

// An error that ends the current user action. Whatever handler raises it,
// the application catches it centrally and shows it in its error box; the
// program then goes on.

#include <QString>

#include <stdexcept>

class AppError : public std::runtime_error {
public:
    explicit AppError(const QString &message)
        : std::runtime_error(message.toStdString())
        , m_message(message)
    {
    }

    QString message() const { return m_message; }

private:
    QString m_message;
};
