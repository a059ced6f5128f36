// Shared by the Qt test programs: one QApplication for the whole run, temporary folders, and
// small helpers to fake input.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

// Creates the application before the first test and deletes it after the last. Include this
// header in exactly one .cpp per test program and put BREL_QT_TEST_ENVIRONMENT there.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "brel-test";
    static char* argv[] = {name, nullptr};
    FApp = new QApplication(argc, argv);
  }
  void TearDown() override { delete FApp; }

 private:
  QApplication* FApp = nullptr;
};
#define BREL_QT_TEST_ENVIRONMENT \
  static ::testing::Environment* const gQtEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment)

// A fresh folder, removed with its content at the end of the test, with shortcuts for making
// its content.
class TTempDir : public testsupport::StringTempDir {
 public:
  TTempDir() : StringTempDir("test") {}

  // A file of that many bytes (all 'x') unless content is given; returns its path.
  std::string File(const std::string& name, size_t bytes = 1, const std::string& content = "") const {
    const std::string path = *this / name;
    testsupport::WriteFile(path, content.empty() ? std::string(bytes, 'x') : content);
    return path;
  }
  std::string Folder(const std::string& name) const {
    const std::string path = *this / name;
    std::filesystem::create_directories(path);
    return path;
  }
};

// The widget painted on a transparent image: pixels it leaves alone keep alpha 0.
inline QImage Rendered(QWidget& widget) {
  QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}
