#include "platform/qt/qt_alerts.hpp"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include <vector>

namespace zp::platform::qt {
namespace {

QString fromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

int QtAlerts::runModal(const AlertSpec& alert) {
  QMessageBox box;
  box.setIcon(QMessageBox::Warning);
  box.setWindowModality(Qt::ApplicationModal);
  box.setText(fromUtf8(alert.message));
  box.setInformativeText(fromUtf8(alert.informative));
  // Service texts are never markup. Qt 6.4 applies the box's format to the message only, so
  // the other labels get it too.
  box.setTextFormat(Qt::PlainText);
  for (QLabel* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);

  if (alert.buttons.empty()) {
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return box.clickedButton() ? kAlertFirstButtonReturn : kAlertAbortedReturn;
  }

  // Every platform's button layout reorders buttons by role, but none reverses ActionRole:
  // with one role for all, they stay in the given order, left to right.
  std::vector<QPushButton*> buttons;
  for (const std::string& title : alert.buttons) {
    QPushButton* button = box.addButton(fromUtf8(title).replace(u'&', QStringLiteral("&&")), QMessageBox::ActionRole);
    button->setAutoDefault(false);  // Return presses the default button, wherever the focus is
    buttons.push_back(button);
  }
  box.setDefaultButton(buttons.front());
  if (buttons.size() > 1) box.setEscapeButton(buttons[1]);
  box.exec();

  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (box.clickedButton() == buttons[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
  }
  return kAlertAbortedReturn;
}

void QtBrowser::openURL(const std::string& url) {
  QDesktopServices::openUrl(QUrl(fromUtf8(url), QUrl::StrictMode));
}

}  // namespace zp::platform::qt
