// The update check at start: asynchronous, never delays the start window, and
// silent on any failure. With no update host set (the default) it makes no
// request at all.
#pragma once

#include "gui/qt_ui.h"

#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrova::gui {

class UpdateChecker : public QObject {
  Q_OBJECT
 public:
  UpdateChecker(QtUi& ui, QObject* parent = nullptr);

  // Starts the request; false (and nothing sent) when the host is empty or unusable.
  bool Start(const QString& host);
  int requestsMade() const { return requests_; }
  // The user chose to download: the program is to end.
  bool quitRequested() const { return quit_; }

 signals:
  // The check is over, whatever its outcome.
  void finished();

 private:
  void Answered(QNetworkReply* reply);

  QtUi& ui_;
  QNetworkAccessManager* network_ = nullptr;
  QString host_;
  int requests_ = 0;
  bool quit_ = false;
};

}  // namespace kestrova::gui
