#include "Updater.h"

#include "EngineInstaller.h"

#include "FeedParser.h"
#include "Log.h"
#include "PropertyList.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <utility>

namespace cv::configurator {
namespace {

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString tooLarge()
{
    return QStringLiteral("The update feed is larger than 1 MiB.");
}

} // namespace

Updater::Updater(QUrl feedUrl, qlonglong currentBuild, UpdateDialogs &dialogs, QObject *parent)
    : QObject(parent)
    , m_feedUrl(std::move(feedUrl))
    , m_currentBuild(currentBuild)
    , m_dialogs(dialogs)
{
}

Updater::~Updater()
{
    // Nothing may report into a half-destroyed updater.
    finish();
}

UpdateSettings Updater::readBundleSettings(const QString &bundlePath)
{
    UpdateSettings settings;
    const auto info = platform::readDictionaryFile(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return settings;
    const QVariant feed = info->value(QStringLiteral("SUFeedURL"));
    if (feed.typeId() == QMetaType::QString)
        settings.feedUrl = QUrl(feed.toString().trimmed());
    // Read by the same rule as the engine update compares builds.
    settings.currentBuild = EngineInstaller::buildNumber(bundlePath);
    return settings;
}

void Updater::checkForUpdates(QObject *sender)
{
    Q_UNUSED(sender);
    start(true);
}

void Updater::checkQuietlyAtStartup()
{
    start(false);
}

void Updater::start(bool userStarted)
{
    if (m_busy) {
        // A quiet check still running becomes the user's: its answer is shown.
        m_userStarted = m_userStarted || userStarted;
        return;
    }
    m_busy = true;
    m_userStarted = userStarted;
    m_body.clear();

    const QString scheme = m_feedUrl.scheme().toLower();
    if (!m_feedUrl.isValid() || m_feedUrl.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        // Reported after returning, like every other outcome.
        const QString reason = m_feedUrl.isEmpty()
                                   ? QStringLiteral("No update feed is configured.")
                                   : QStringLiteral("The update feed address \"%1\" is not a web address.")
                                         .arg(m_feedUrl.toString());
        QTimer::singleShot(0, this, [this, reason] { fail(reason); });
        return;
    }

    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    if (!m_deadline) {
        m_deadline = new QTimer(this);
        m_deadline->setSingleShot(true);
        connect(m_deadline, &QTimer::timeout, this,
                [this] { fail(QStringLiteral("The update server did not answer in time.")); });
    }

    QNetworkRequest request(m_feedUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Corvantis/%1").arg(m_currentBuild));
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxFeedBytes)
            fail(tooLarge());
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &Updater::readAvailable);
    connect(m_reply, &QNetworkReply::finished, this, &Updater::onFinished);
    m_deadline->start(m_timeout);
}

void Updater::readAvailable()
{
    if (!m_reply)
        return;
    // One byte past the limit is enough to know it was exceeded.
    m_body += m_reply->read(kMaxFeedBytes + 1 - m_body.size());
    if (m_body.size() > kMaxFeedBytes)
        fail(tooLarge());
}

void Updater::onFinished()
{
    if (!m_reply)
        return;
    readAvailable();
    if (!m_reply)
        return;
    if (m_reply->error() != QNetworkReply::NoError) {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400) {
            const QString phrase = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
            fail(phrase.isEmpty() ? QStringLiteral("The update server answered %1.").arg(status)
                                  : QStringLiteral("The update server answered %1 %2.").arg(status).arg(phrase));
        } else {
            fail(m_reply->errorString());
        }
        return;
    }
    const QUrl base = m_reply->url(); // after redirects
    const QByteArray document = std::exchange(m_body, {});
    finish();
    report(document, base);
}

void Updater::report(const QByteArray &document, const QUrl &base)
{
    const FeedParseResult feed = parseFeed(document, base);
    if (!feed.error.isEmpty()) {
        fail(feed.error);
        return;
    }
    if (!feed.newest) {
        fail(QStringLiteral("The update feed lists no version."));
        return;
    }
    if (feed.newest->build > m_currentBuild)
        m_dialogs.showNewVersion(feed.newest->displayVersion, feed.newest->downloadUrl);
    else if (m_userStarted)
        m_dialogs.showUpToDate();
    m_busy = false;
    emit checkFinished();
}

void Updater::fail(const QString &reason)
{
    finish();
    if (m_userStarted)
        m_dialogs.showCheckFailed(reason);
    else
        platform::NSLog(QStringLiteral("Update check failed: ") + oneLine(reason));
    m_busy = false;
    emit checkFinished();
}

void Updater::finish()
{
    if (m_deadline)
        m_deadline->stop();
    m_body.clear();
    if (QNetworkReply *reply = std::exchange(m_reply, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

} // namespace cv::configurator
