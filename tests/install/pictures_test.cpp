// SPDX-License-Identifier: MIT
// The window's pictures as the program loads them from the core library, and
// the copies of the link picture that are installed for desktops and Windows.
#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QSet>
#include <QString>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr QRgb Black = qRgb(0, 0, 0);
constexpr QRgb DarkRed = qRgb(128, 0, 0);
constexpr QRgb DarkGreen = qRgb(0, 128, 0);
constexpr QRgb DarkOlive = qRgb(128, 128, 0);
constexpr QRgb LightGrey = qRgb(192, 192, 192);
constexpr QRgb DarkGrey = qRgb(128, 128, 128);
constexpr QRgb Red = qRgb(255, 0, 0);
constexpr QRgb Green = qRgb(0, 255, 0);
constexpr QRgb Yellow = qRgb(255, 255, 0);
constexpr QRgb White = qRgb(255, 255, 255);

const QSet<QRgb> VgaPalette{
    Black, DarkRed, DarkGreen, DarkOlive, qRgb(0, 0, 128), qRgb(128, 0, 128), qRgb(0, 128, 128), LightGrey,
    DarkGrey, Red, Green, Yellow, qRgb(0, 0, 255), qRgb(255, 0, 255), qRgb(0, 255, 255), White,
};

struct Picture {
    const char *name;
    std::vector<QRgb> required; // colours the description calls for
    std::vector<QRgb> forbidden; // colours that would mean the wrong picture
};

// Open and closed differ only in which lamps are lit: a swap shows here.
const Picture Pictures[] = {
    {"link", {Black, White, LightGrey, DarkGrey}, {Red, Green, DarkRed, Yellow}},
    {"open", {Black, Green, Yellow, DarkRed, DarkOlive, DarkGrey}, {Red, DarkGreen}},
    {"closed", {Black, Red, DarkOlive, DarkGreen, DarkGrey}, {Green, Yellow, DarkRed}},
    {"end", {Red, DarkRed, White, DarkGrey}, {Green, DarkGreen, Yellow}},
};

QSet<QRgb> opaqueColours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) != 0)
                colours.insert(pixel);
        }
    }
    return colours;
}

QString describe(QRgb rgb)
{
    return QColor::fromRgba(rgb).name(QColor::HexArgb);
}

// Empty when both show the same pixels, else where they first differ.
std::string difference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return "size " + std::to_string(actual.width()) + "x" + std::to_string(actual.height());
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != e.pixel(x, y))
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + " is "
                    + describe(a.pixel(x, y)).toStdString() + ", not " + describe(e.pixel(x, y)).toStdString();
        }
    }
    return {};
}

TEST(Pictures, EachLoadsFromTheResourcesAtItsSizeWithinThePalette)
{
    for (const Picture &picture : Pictures) {
        for (const int size : {32, 16}) {
            const QString path = QStringLiteral(":/pictures/%1%2.xpm").arg(QLatin1String(picture.name)).arg(size);
            SCOPED_TRACE(path.toStdString());
            const QImage image(path);
            ASSERT_FALSE(image.isNull());
            EXPECT_EQ(image.size(), QSize(size, size));
            ASSERT_TRUE(image.hasAlphaChannel());

            const int last = size - 1;
            for (const QPoint corner : {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)})
                EXPECT_EQ(qAlpha(image.pixel(corner)), 0) << "corner " << corner.x() << "," << corner.y();

            const QSet<QRgb> colours = opaqueColours(image);
            for (const QRgb colour : colours) {
                EXPECT_EQ(qAlpha(colour), 255) << describe(colour).toStdString();
                EXPECT_TRUE(VgaPalette.contains(colour)) << describe(colour).toStdString();
            }
            for (const QRgb colour : picture.required)
                EXPECT_TRUE(colours.contains(colour)) << "missing " << describe(colour).toStdString();
            for (const QRgb colour : picture.forbidden)
                EXPECT_FALSE(colours.contains(colour)) << "unexpected " << describe(colour).toStdString();
        }
    }
}

// The title bar, the notification area, the menus of desktops and Explorer
// must all show the same link picture.
TEST(Pictures, InstalledIconsMatchTheLinkPicture)
{
    const QString dist = QStringLiteral(SCNFERRY_SOURCE_DIR "/dist/icons/hicolor/%1x%1/apps/io.github.scnferry.ScnFerry.png");
    const QString ico = QStringLiteral(SCNFERRY_SOURCE_DIR "/resources/scnferry.ico");
    const bool canReadIco = QImageReader::supportedImageFormats().contains("ico");

    for (const int size : {32, 16}) {
        SCOPED_TRACE(size);
        const QImage link(QStringLiteral(":/pictures/link%1.xpm").arg(size));
        ASSERT_FALSE(link.isNull());

        EXPECT_EQ(difference(QImage(dist.arg(size)), link), "") << "desktop icon";

        if (!canReadIco)
            continue;
        QImageReader reader(ico);
        bool found = false;
        for (int i = 0; i < reader.imageCount(); ++i) {
            ASSERT_TRUE(reader.jumpToImage(i));
            const QImage image = reader.read();
            if (image.size() == link.size()) {
                found = true;
                EXPECT_EQ(difference(image, link), "") << "Windows icon";
            }
        }
        EXPECT_TRUE(found) << "no " << size << "x" << size << " image in the Windows icon";
    }
}

} // namespace
