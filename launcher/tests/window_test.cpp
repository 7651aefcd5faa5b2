// The start window as the user sees it: geometry, picture, labels, fonts,
// focus, pointer and the artwork files.
#include <gmock/gmock.h>

#include <QFile>
#include <QFontInfo>
#include <QScreen>
#include <QTest>

#include "launcher/hand_cursor.h"
#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::Contains;
using ::testing::IsSupersetOf;

using LauncherWindow = LauncherTest;

TEST_F(LauncherWindow, BorderlessFixedCentredWithControlsAtTheirPixels) {
  Start& w = window();
  EXPECT_TRUE(w.windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(w.minimumSize(), QSize(523, 279));
  EXPECT_EQ(w.maximumSize(), QSize(523, 279));
  const QPoint centre = w.screen()->availableGeometry().center();
  EXPECT_LE((w.geometry().center() - centre).manhattanLength(), 2);
  const std::vector<std::pair<QWidget*, QRect>> expected = {
      {w.Image1, {30, 27, 48, 48}},     {w.Label1, {81, 27, 331, 31}},
      {w.Label5, {84, 54, 247, 19}},    {w.Label4, {228, 117, 280, 34}},
      {w.Text1, {231, 156, 181, 22}},   {w.Command1, {420, 156, 46, 22}},
      {w.Label3, {372, 204, 37, 22}},   {w.Command3, {303, 207, 49, 22}},
      {w.Command4, {366, 207, 46, 22}}, {w.Label6, {33, 249, 196, 16}}};
  for (const auto& [control, rect] : expected)
    EXPECT_EQ(control->geometry(), rect) << control->objectName().toStdString();
}

bool near(const QColor& a, const QColor& b, int tolerance = 2) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

// Checks the window's pixels (in its own coordinates, whatever the device
// pixel ratio) against the pictures: unscaled background with navy strips,
// the emblem at its own size, transparent labels.
TEST_F(LauncherWindow, PicturesUnscaledNavyStripsAndTransparentLabels) {
  Start& w = window();
  w.show();
  const QImage shot = w.grab().toImage();
  const qreal dpr = shot.devicePixelRatio();
  ASSERT_EQ(shot.size(), QSize(523, 279) * dpr);
  auto at = [&](QPoint p) { return shot.pixelColor((QPointF(p) * dpr).toPoint()); };
  const QImage bitmap(QStringLiteral(":/launcher/background.bmp"));
  const QImage emblem(QStringLiteral(":/launcher/emblem.jpg"));
  ASSERT_EQ(bitmap.size(), QSize(520, 272));
  ASSERT_EQ(emblem.size(), QSize(48, 48));

  // Corners and middle of the picture, spots inside labels where no letter
  // falls, and the emblem box beyond its 48 pixels.
  for (const QPoint p : {QPoint(0, 0), QPoint(519, 0), QPoint(0, 271), QPoint(519, 271),
                         QPoint(260, 100), QPoint(410, 57), QPoint(329, 71), QPoint(506, 149),
                         QPoint(227, 263), QPoint(407, 205), QPoint(90, 37), QPoint(50, 87)})
    EXPECT_TRUE(near(at(p), bitmap.pixelColor(p))) << p.x() << "," << p.y();
  for (const QPoint p : {QPoint(0, 0), QPoint(24, 24), QPoint(47, 47)})
    EXPECT_TRUE(near(at(p + QPoint(30, 27)), emblem.pixelColor(p), 3)) << p.x() << "," << p.y();
  // The back colour: 3 pixels on the right, 7 at the bottom.
  for (const QPoint p : {QPoint(520, 0), QPoint(522, 150), QPoint(0, 272), QPoint(522, 278)})
    EXPECT_TRUE(near(at(p), QColor(0, 0, 64))) << p.x() << "," << p.y();
}

TEST_F(LauncherWindow, NoteWrapsToTwoLinesThatFitAndTheAddressIsPlainText) {
  Start& w = window();
  EXPECT_EQ(w.Label4->lineCount(), 2);
  for (SurfaceLabel* label : std::initializer_list<SurfaceLabel*>{w.Label1, w.Label5, w.Label4, w.Label6, w.Label3})
    EXPECT_LE(label->textHeight(), label->height()) << label->objectName().toStdString();
  EXPECT_EQ(w.Label6->lineCount(), 1);
  EXPECT_TRUE(w.Label6->text().endsWith(QStringLiteral(".example.com")));
  EXPECT_EQ(w.Label6->textFormat(), Qt::PlainText);
  EXPECT_EQ(w.Label6->textInteractionFlags(), Qt::NoTextInteraction);
}

TEST_F(LauncherWindow, FontsResolveToTheirFacesOrFallbacks) {
  Start& w = window();
  const QStringList zhongsong{QStringLiteral("华文中宋"), QStringLiteral("STZhongsong"),
                              QStringLiteral("Noto Serif CJK SC")};
  const QStringList songti{QStringLiteral("宋体"), QStringLiteral("SimSun"),
                           QStringLiteral("Noto Serif CJK SC")};
  const QStringList arial{QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                          QStringLiteral("DejaVu Sans")};
  const std::vector<std::tuple<QWidget*, QStringList, qreal, bool>> wanted = {
      {w.Label1, zhongsong, 18, true},  {w.Label5, arial, 12, true},
      {w.Label4, zhongsong, 10.5, true}, {w.Text1, songti, 10.5, false},
      {w.Command1, songti, 9, false},   {w.Label3, zhongsong, 12, true},
      {w.Command3, zhongsong, 9, false}, {w.Command4, zhongsong, 9, false},
      {w.Label6, arial, 10.5, true}};
  for (const auto& [control, families, points, bold] : wanted) {
    SCOPED_TRACE(control->objectName().toStdString());
    const QFontInfo info(control->font());
    EXPECT_THAT(families, Contains(info.family()));
    EXPECT_DOUBLE_EQ(control->font().pointSizeF(), points);
    EXPECT_EQ(info.bold(), bold);
  }
  EXPECT_EQ(w.Label1->palette().color(QPalette::WindowText), QColor(108, 34, 66));
  EXPECT_EQ(w.Label3->palette().color(QPalette::WindowText), QColor(108, 34, 66));
}

TEST_F(LauncherWindow, FocusTabOrderAndNoDefaultOrCancelButton) {
  Start& w = window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w, 20000));
  EXPECT_EQ(QApplication::focusWidget(), w.Text1);
  for (QWidget* next : std::initializer_list<QWidget*>{w.Command1, w.Command3, w.Command4, w.Text1}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
  // Enter and Esc trigger nothing, from the text box or a button.
  for (QWidget* from : {static_cast<QWidget*>(w.Text1), static_cast<QWidget*>(w.Command1)}) {
    from->setFocus();
    for (auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(from, key);
  }
  // Nor do clicks on the pictures and the passive labels.
  for (QWidget* c : {static_cast<QWidget*>(w.Image1), static_cast<QWidget*>(w.Label1),
                     static_cast<QWidget*>(w.Label4), static_cast<QWidget*>(w.Label6)})
    QTest::mouseClick(c, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(dialogs.last->log.empty());
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherWindow, PathBoxHasNoLengthLimit) {
  const QString longPath = QStringLiteral("/") + QString(70000, QLatin1Char('a'));
  window().Text1->setText(longPath);
  EXPECT_EQ(window().Text1->text(), longPath);
}

TEST_F(LauncherWindow, HandPointerWithItsHotSpotOnlyOverTheExitLabel) {
  Start& w = window();
  const QCursor hand = w.Label3->cursor();
  ASSERT_EQ(hand.shape(), Qt::BitmapCursor);
  EXPECT_EQ(hand.hotSpot(), QPoint(5, 0));
  ASSERT_EQ(hand.bitmap().size(), QSize(32, 32));
  // The fingertip is drawn, in black, at the hot spot.
  EXPECT_EQ(hand.mask().toImage().pixelColor(5, 0), QColor(Qt::black));
  EXPECT_EQ(hand.bitmap().toImage().pixelColor(5, 0), QColor(Qt::black));
  for (QWidget* c : {static_cast<QWidget*>(&w), static_cast<QWidget*>(w.Label1)})
    EXPECT_EQ(c->cursor().shape(), Qt::ArrowCursor);

  QFile f(QStringLiteral(":/launcher/hand.cur"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray good = f.readAll();
  EXPECT_FALSE(monochromeCursor(good.left(good.size() - 10)).has_value());
  QByteArray icon = good;
  icon[2] = 1;  // an icon, not a cursor
  EXPECT_FALSE(monochromeCursor(icon).has_value());
}

TEST_F(LauncherWindow, IconHasTenImagesAndBackgroundIs24Bit) {
  auto le = [](const QByteArray& b, int at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
    return static_cast<int>(v);
  };
  QFile bmp(QStringLiteral(":/launcher/background.bmp"));
  ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
  EXPECT_EQ(le(bmp.readAll(), 28, 2), 24);

  QFile ico(QStringLiteral(":/launcher/quenlo.ico"));
  ASSERT_TRUE(ico.open(QIODevice::ReadOnly));
  const QByteArray i = ico.readAll();
  ASSERT_EQ(le(i, 4, 2), 10);
  std::vector<std::pair<int, int>> images;  // size, bits per pixel
  for (int n = 0; n < 10; ++n)
    images.emplace_back(le(i, 6 + 16 * n, 1), le(i, le(i, 6 + 16 * n + 12, 4) + 14, 2));
  for (int size : {64, 48, 32, 24, 16})
    for (int bits : {24, 8}) EXPECT_THAT(images, Contains(std::pair(size, bits)));
  EXPECT_THAT(window().windowIcon().availableSizes(),
              IsSupersetOf({QSize(64, 64), QSize(48, 48), QSize(32, 32), QSize(24, 24), QSize(16, 16)}));
}

}  // namespace
}  // namespace launcher::testing
