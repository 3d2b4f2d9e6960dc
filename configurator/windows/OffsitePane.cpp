#include "OffsitePane.h"

#include "Home.h"
#include "Log.h"
#include "OffsiteRecord.h"
#include "RepositoryCheck.h"
#include "Restic.h"
#include "SecretStore.h"
#include "UserDefaults.h"
#include "ui_OffsitePane.h"

namespace cv::configurator::windows {

namespace {

const QLatin1String kEnabledKey(offsite::kEnabledKey);
const QLatin1String kRepositoryKey(offsite::kRepositoryKey);
// Creating writes the repository's first files, which takes longer than a look.
constexpr std::chrono::minutes kCreateLimit{2};

} // namespace

OffsitePane::OffsitePane(offsite::SecretStore &secrets, QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
{
    m_view = new QWidget;
    m_ui = new Ui::OffsitePane;
    m_ui->setupUi(m_view);
    m_view->setObjectName(QStringLiteral("offsitePrefsView"));
    m_view->setAutoFillBackground(true);
    connect(m_ui->checkButton, &QPushButton::clicked, this, &OffsitePane::check);
    connect(m_ui->createButton, &QPushButton::clicked, this, &OffsitePane::create);
    connect(m_ui->offsiteEnabledBox, &QCheckBox::clicked, this, &OffsitePane::enabledToggled);
    // Another place or password needs a new check before it can be created.
    connect(m_ui->repositoryField, &QLineEdit::textEdited, this, [this] { showCreate(false); });
}

OffsitePane::~OffsitePane()
{
    delete m_run; // ends a restic still running
    delete m_view.data();
    delete m_ui;
}

void OffsitePane::setDefaults(cv::platform::UserDefaults *defaults)
{
    m_defaults = defaults;
    refreshControls();
}

void OffsitePane::refreshControls()
{
    if (!m_defaults)
        return;
    m_ui->offsiteEnabledBox->setChecked(m_defaults->boolean(kEnabledKey));
    m_ui->repositoryField->setText(m_defaults->string(kRepositoryKey));
    m_ui->passwordField->clear();
    m_ui->passwordField->setPlaceholderText(m_defaults->string(kRepositoryKey).isEmpty()
                                                ? QString()
                                                : QStringLiteral("Kept in the keyring"));
    showCreate(false);
}

void OffsitePane::say(const QString &text)
{
    m_ui->checkResultLabel->setText(text);
}

void OffsitePane::answer(const QString &text)
{
    say(text);
    emit finished();
}

void OffsitePane::showCreate(bool shown)
{
    m_ui->createButton->setVisible(shown);
    m_ui->confirmLabel->setVisible(shown);
    m_ui->confirmField->setVisible(shown);
    if (!shown)
        m_ui->confirmField->clear();
}

void OffsitePane::setBusy(bool busy)
{
    for (QWidget *widget : {static_cast<QWidget *>(m_ui->checkButton), static_cast<QWidget *>(m_ui->createButton),
                            static_cast<QWidget *>(m_ui->repositoryField), static_cast<QWidget *>(m_ui->passwordField)})
        widget->setEnabled(!busy);
}

void OffsitePane::check()
{
    const QString repository = cv::expandTilde(m_ui->repositoryField->text().trimmed());
    if (repository.isEmpty()) {
        answer(QStringLiteral("Enter a repository first."));
        return;
    }
    QString password = m_ui->passwordField->text();
    if (password.isEmpty()) {
        const auto stored = m_secrets.lookup(repository);
        if (stored.status != offsite::SecretStore::Status::Found) {
            answer(QStringLiteral("Enter the repository's password."));
            return;
        }
        password = stored.password;
    }
    start(Action::Check, password);
}

void OffsitePane::create()
{
    const QString password = m_ui->passwordField->text();
    if (password.isEmpty()) {
        answer(QStringLiteral("Choose a password for the new repository."));
        return;
    }
    if (password != m_ui->confirmField->text()) {
        answer(QStringLiteral("The two passwords differ; type the same one twice."));
        return;
    }
    start(Action::Create, password);
}

void OffsitePane::start(Action action, const QString &password)
{
    if (m_run)
        return;
    setBusy(true);
    say(action == Action::Check ? QStringLiteral("Checking\u2026") : QStringLiteral("Creating\u2026"));
    m_pendingPassword = password;
    m_run = new offsite::ResticRun(m_program, this);
    m_run->setTimeLimit(action == Action::Check ? std::chrono::milliseconds(offsite::kCheckLimit)
                                                : std::chrono::milliseconds(kCreateLimit));
    connect(m_run, &offsite::ResticRun::finished, this,
            [this, action](const offsite::ResticResult &result) { onFinished(action, result); });
    m_run->start(cv::expandTilde(m_ui->repositoryField->text().trimmed()), password,
                 action == Action::Check ? offsite::checkArguments() : offsite::createArguments());
}

void OffsitePane::onFinished(Action action, const offsite::ResticResult &result)
{
    m_run->deleteLater();
    m_run = nullptr;
    setBusy(false);
    const QString password = std::exchange(m_pendingPassword, {});
    showCreate(action == Action::Check && result.problem == offsite::Problem::NoRepository);
    if (result.ok() && !save(password)) {
        emit finished();
        return;
    }
    say(action == Action::Check ? offsite::checkSentence(result) : offsite::createSentence(result));
    emit finished();
}

bool OffsitePane::save(const QString &password)
{
    const QString repository = cv::expandTilde(m_ui->repositoryField->text().trimmed());
    if (const Result<> kept = m_secrets.store(repository, password); !kept) {
        say(QStringLiteral("The password could not be kept in the keyring (%1). Nothing was saved.").arg(kept.reason()));
        return false;
    }
    if (m_defaults) {
        m_defaults->setString(kRepositoryKey, repository);
        m_defaults->setBoolean(kEnabledKey, m_ui->offsiteEnabledBox->isChecked());
        if (const Result<> stored = m_defaults->synchronize(); !stored) {
            say(QStringLiteral("The settings could not be saved: %1").arg(stored.reason()));
            return false;
        }
    }
    m_ui->repositoryField->setText(repository);
    m_ui->passwordField->clear();
    m_ui->passwordField->setPlaceholderText(QStringLiteral("Kept in the keyring"));
    emit saved();
    return true;
}

void OffsitePane::enabledToggled(bool on)
{
    if (on) {
        say(QStringLiteral("Press \u201cCheck\u201d to start sending: nothing changes until the check passes."));
        return;
    }
    if (!m_defaults)
        return;
    // Stopping needs no check.
    m_defaults->setBoolean(kEnabledKey, false);
    if (!m_defaults->synchronize())
        platform::NSLog(QStringLiteral("Could not save the off-site setting to ") + m_defaults->path());
    say(QStringLiteral("Backups are no longer sent off-site."));
}

} // namespace cv::configurator::windows
