// The password question of an encrypted archive entry.
#include "app/Main.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

bool AskPassword(QWidget* Parent, const std::string& Archive, const std::string& Entry, std::string& Password,
                 bool& ForAll) {
  QDialog dialog(Parent);
  dialog.setObjectName("PasswordDialog");
  dialog.setWindowTitle(TfrmBrel::tr("Password"));
  auto* layout = new QVBoxLayout(&dialog);
  auto* text = new QLabel(TfrmBrel::tr("%1\nin %2\nis encrypted. Password:")
                              .arg(QString::fromStdString(Entry), QString::fromStdString(Archive)),
                          &dialog);
  text->setTextFormat(Qt::PlainText);
  layout->addWidget(text);
  auto* field = new QLineEdit(&dialog);
  field->setEchoMode(QLineEdit::Password);
  layout->addWidget(field);
  auto* forAll = new QCheckBox(TfrmBrel::tr("Use for all entries of this archive"), &dialog);
  layout->addWidget(forAll);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Cancel)->setText(TfrmBrel::tr("Skip encrypted entries"));
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  field->setFocus();

  // A run shows the busy cursor; the question needs the ordinary one.
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  const bool given = dialog.exec() == QDialog::Accepted;
  QApplication::restoreOverrideCursor();
  if (!given) return false;
  Password = field->text().toStdString();
  ForAll = forAll->isChecked();
  return true;
}
