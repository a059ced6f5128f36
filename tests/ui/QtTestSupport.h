// Shared by the Qt test programs: one QApplication for the whole run, temporary folders, and
// small helpers to fake input.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

// Creates the application before the first test and deletes it after the last. Include this
// header in exactly one .cpp per test program and put BREL_QT_TEST_ENVIRONMENT there.
class TQtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
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
    static ::testing::Environment* const gQtEnvironment = \
        ::testing::AddGlobalTestEnvironment(new TQtEnvironment)

// A fresh folder, removed with its content at the end of the test.
class TTempDir {
public:
    TTempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brel-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        FPath = tmpl;
    }
    ~TTempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string Path() const { return FPath.string(); }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

    // A file of that many bytes (all 'x'); returns its path.
    std::string File(const std::string& name, size_t bytes = 1, const std::string& content = "") const
    {
        const std::string path = *this / name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream out(path, std::ios::binary);
        out << (content.empty() ? std::string(bytes, 'x') : content);
        return path;
    }
    std::string Folder(const std::string& name) const
    {
        const std::string path = *this / name;
        std::filesystem::create_directories(path);
        return path;
    }

private:
    std::filesystem::path FPath;
};

inline std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The widget painted on a transparent image: pixels it leaves alone keep alpha 0.
inline QImage Rendered(QWidget& widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}
