#include "SecretStore.h"

// libsecret's headers use "signals" as a name; Qt's keyword must not see them.
#undef signals
#include <libsecret/secret.h>

namespace cv::offsite {

namespace {

// Matched by our two attributes only, not by a schema name, so items that
// other tools store with the same attributes are found as well.
const SecretSchema *schema()
{
    static const SecretSchema theSchema = {
        "com.tallowmere.Corvantis.Offsite",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"repository", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &theSchema;
}

QString takeError(GError *error)
{
    const QString text = error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    g_clear_error(&error);
    return text;
}

} // namespace

SecretStore::Lookup LibsecretStore::lookup(const QString &repository)
{
    Lookup result;
    GError *error = nullptr;
    const QByteArray repo = repository.toUtf8();
    gchar *password = secret_password_lookup_sync(schema(), nullptr, &error, "application", kSecretApplication,
                                                  "repository", repo.constData(), nullptr);
    if (error) {
        result.error = takeError(error);
        return result;
    }
    if (!password) {
        result.status = Status::NotFound;
        return result;
    }
    result.status = Status::Found;
    result.password = QString::fromUtf8(password);
    secret_password_free(password);
    return result;
}

Result<> LibsecretStore::store(const QString &repository, const QString &password)
{
    GError *gerror = nullptr;
    const QByteArray repo = repository.toUtf8();
    const QByteArray secret = password.toUtf8();
    const QByteArray label = QStringLiteral("Corvantis off-site repository %1").arg(repository).toUtf8();
    const gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                                   secret.constData(), nullptr, &gerror, "application",
                                                   kSecretApplication, "repository", repo.constData(), nullptr);
    if (!ok || gerror)
        return fail(takeError(gerror));
    return {};
}

} // namespace cv::offsite
