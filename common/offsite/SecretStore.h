#pragma once
// Where the repository's password lives: the desktop's Secret Service, as an
// item matched by the attributes application = com.tallowmere.Corvantis and
// repository = the repository string alone, so that
// `secret-tool store --label=… application com.tallowmere.Corvantis repository <repo>`
// sets it too.

#include "Result.h"

#include <QString>

#include <optional>

namespace cv::offsite {

inline constexpr const char *kSecretApplication = "com.tallowmere.Corvantis";

class SecretStore
{
public:
    enum class Status { Found, NotFound, Unavailable };
    struct Lookup {
        Status status = Status::Unavailable;
        QString password; // when Found
        QString error;    // when Unavailable
    };
    virtual ~SecretStore() = default;
    virtual Lookup lookup(const QString &repository) = 0;
    // Fails when the service refused or could not be reached.
    virtual Result<> store(const QString &repository, const QString &password) = 0;
};

// Through libsecret, on the session bus of this process's environment.
class LibsecretStore final : public SecretStore
{
public:
    Lookup lookup(const QString &repository) override;
    Result<> store(const QString &repository, const QString &password) override;
};

} // namespace cv::offsite
