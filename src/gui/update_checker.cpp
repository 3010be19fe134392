#include "gui/update_checker.h"

#include "gui/texts.h"
#include "resources/strings.h"
#include "shell/update_check.h"

#include <QApplication>
#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>

namespace kestrova::gui {

UpdateChecker::UpdateChecker(QtUi& ui, QObject* parent) : QObject(parent), ui_(ui) {}

bool UpdateChecker::Start(const QString& host) {
  const std::optional<std::string> url = UpdateCheckUrl(host.toStdU16String());
  if (!url) return false;
  host_ = host;
  if (!network_) network_ = new QNetworkAccessManager(this);
  QNetworkRequest request{QUrl(QString::fromStdString(*url))};
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("text/html"));
  request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Kestrova"));
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  request.setTransferTimeout(15000);
  QNetworkReply* reply = network_->get(request);
  ++requests_;
  // A certificate for another name or out of date does not stop the check:
  // the answer only leads to a question, never to a download by itself.
  connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError>& errors) {
    QList<QSslError> ignored;
    for (const QSslError& e : errors)
      if (e.error() == QSslError::HostNameMismatch || e.error() == QSslError::CertificateExpired ||
          e.error() == QSslError::CertificateNotYetValid)
        ignored.push_back(e);
    reply->ignoreSslErrors(ignored);
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply] { Answered(reply); });
  return true;
}

void UpdateChecker::Answered(QNetworkReply* reply) {
  reply->deleteLater();
  // Any failure: silently nothing.
  if (reply->error() == QNetworkReply::NoError) {
    const QByteArray answer = reply->read(static_cast<qint64>(kUpdateAnswerLimit));
    if (AnswerOffersNewVersion(std::string_view(answer.constData(), static_cast<std::size_t>(answer.size())),
                               Text(StringId::UpdateVersion)) &&
        ui_.Show(Tr(StringId::UpdateRequest), Tr(StringId::UpdateRequestCaption), MsgIcon::Question,
                 MsgButtons::YesNo) == MsgChoice::Yes) {
      QDesktopServices::openUrl(QUrl(QString::fromStdString(UpdateDownloadUrl(host_.toStdU16String()))));
      quit_ = true;
    }
  }
  emit finished();
}

}  // namespace kestrova::gui
