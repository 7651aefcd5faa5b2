// The start window as the user sees it: geometry, picture, fonts, labels,
// focus, pointer and the artwork files.
#include <gmock/gmock.h>

#include <QFile>
#include <QFontInfo>
#include <QImageReader>
#include <QScreen>
#include <QTest>

#include "launcher/hand_cursor.h"
#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::Eq;
using ::testing::IsSupersetOf;

using LauncherWindow = LauncherTest;

TEST_F(LauncherWindow, BorderlessFixedAndCentred) {
  Start& w = window();
  EXPECT_TRUE(w.windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Vardel课件制作系统"));
  EXPECT_EQ(w.size(), QSize(523, 279));
  EXPECT_EQ(w.minimumSize(), QSize(523, 279));
  EXPECT_EQ(w.maximumSize(), QSize(523, 279));
  const QPoint centre = w.screen()->availableGeometry().center();
  EXPECT_LE((w.geometry().center() - centre).manhattanLength(), 2);
}

TEST_F(LauncherWindow, ControlsSitAtTheirPixelPositions) {
  Start& w = window();
  const std::vector<std::pair<QWidget*, QRect>> expected = {
      {w.Image1, {30, 27, 48, 48}},    {w.Label1, {81, 27, 331, 31}},
      {w.Label5, {84, 54, 247, 19}},   {w.Label4, {228, 117, 280, 34}},
      {w.Text1, {231, 156, 181, 22}},  {w.Command1, {420, 156, 46, 22}},
      {w.Label3, {372, 204, 37, 22}},  {w.Command3, {303, 207, 49, 22}},
      {w.Command4, {366, 207, 46, 22}}, {w.Label6, {33, 249, 196, 16}}};
  for (const auto& [control, rect] : expected) {
    SCOPED_TRACE(control->objectName().toStdString());
    EXPECT_EQ(control->geometry(), rect);
    EXPECT_TRUE(control->isEnabled());
  }
}

// Picture pixels in the window's own pixels, whatever the device pixel ratio.
class Grab {
 public:
  explicit Grab(QWidget& w) : image_(w.grab().toImage()), dpr_(image_.devicePixelRatio()) {}
  QColor at(int x, int y) const {
    return image_.pixelColor(static_cast<int>(x * dpr_), static_cast<int>(y * dpr_));
  }
  qreal dpr() const { return dpr_; }
  QSize size() const { return image_.size(); }

 private:
  QImage image_;
  qreal dpr_;
};

bool near(const QColor& a, const QColor& b, int tolerance = 2) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST_F(LauncherWindow, PictureIsUnscaledWithNavyStrips) {
  Start& w = window();
  w.show();
  const QImage bitmap(QStringLiteral(":/launcher/background.bmp"));
  ASSERT_EQ(bitmap.size(), QSize(520, 272));
  const Grab g(w);
  EXPECT_EQ(g.size(), QSize(523, 279) * g.dpr());

  // Corners and middle of the picture, away from the controls.
  for (const QPoint p : {QPoint(0, 0), QPoint(519, 0), QPoint(0, 271), QPoint(519, 271),
                         QPoint(260, 100), QPoint(150, 190), QPoint(470, 40)}) {
    SCOPED_TRACE(p.x() * 1000 + p.y());
    EXPECT_TRUE(near(g.at(p.x(), p.y()), bitmap.pixelColor(p)));
  }
  // The back colour in the strips: 3 pixels on the right, 7 at the bottom.
  const QColor navy(0, 0, 64);
  for (const QPoint p : {QPoint(520, 0), QPoint(522, 150), QPoint(0, 272), QPoint(300, 278),
                         QPoint(522, 278)}) {
    SCOPED_TRACE(p.x() * 1000 + p.y());
    EXPECT_TRUE(near(g.at(p.x(), p.y()), navy));
  }
}

TEST_F(LauncherWindow, EmblemAtItsOwnSizeWithoutBorder) {
  Start& w = window();
  w.show();
  const QImage emblem(QStringLiteral(":/launcher/emblem.jpg"));
  ASSERT_EQ(emblem.size(), QSize(48, 48));
  const Grab g(w);
  for (const QPoint p : {QPoint(0, 0), QPoint(24, 24), QPoint(10, 30), QPoint(47, 47)}) {
    SCOPED_TRACE(p.x() * 1000 + p.y());
    EXPECT_TRUE(near(g.at(30 + p.x(), 27 + p.y()), emblem.pixelColor(p), 3));
  }
  // Beyond 48 pixels the 720-twip box shows the picture, not a stretched emblem.
  const QImage bitmap(QStringLiteral(":/launcher/background.bmp"));
  EXPECT_TRUE(near(g.at(30 + 60, 27 + 10), bitmap.pixelColor(90, 37)));
  EXPECT_TRUE(near(g.at(30 + 20, 27 + 60), bitmap.pixelColor(50, 87)));
}

TEST_F(LauncherWindow, LabelsAreTransparentPlainAndWrapped) {
  Start& w = window();
  w.show();
  const QImage bitmap(QStringLiteral(":/launcher/background.bmp"));
  const Grab g(w);
  // A spot inside each label where no letter falls shows the picture.
  for (const auto& [label, spot] : std::vector<std::pair<QLabel*, QPoint>>{
           {w.Label1, {410, 57}}, {w.Label5, {329, 71}}, {w.Label4, {506, 149}},
           {w.Label6, {227, 263}}, {w.Label3, {407, 205}}}) {
    SCOPED_TRACE(label->objectName().toStdString());
    ASSERT_TRUE(label->geometry().contains(spot));
    EXPECT_TRUE(near(g.at(spot.x(), spot.y()), bitmap.pixelColor(spot)));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->alignment(), Qt::AlignLeft | Qt::AlignTop);
    EXPECT_TRUE(label->wordWrap());
    EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
  }
  EXPECT_EQ(w.Label1->text(), QStringLiteral("Vardel课件快速制作系统"));
  EXPECT_EQ(w.Label5->text(), QStringLiteral("Quenlo Making Courseware      "));
  EXPECT_EQ(w.Label4->text(),
            QStringLiteral("注意：使用前请选择完成的POWERPOINT文档或直接点击“确定”"));
  EXPECT_EQ(w.Label3->text(), QStringLiteral("退出"));
  EXPECT_EQ(w.Command1->text(), QStringLiteral("浏览"));
  EXPECT_EQ(w.Command3->text(), QStringLiteral("确定"));
  EXPECT_EQ(w.Command4->text(), QStringLiteral("退出"));
  EXPECT_TRUE(w.Text1->text().isEmpty());
  // The note needs its two lines; they fit the label's height.
  const QFontMetrics note(w.Label4->font());
  EXPECT_GT(note.horizontalAdvance(w.Label4->text()), w.Label4->width());
  EXPECT_EQ(w.Label4->lineCount(), 2);
  for (SurfaceLabel* label : {w.Label1, w.Label5, w.Label4, w.Label6}) {
    SCOPED_TRACE(label->objectName().toStdString());
    EXPECT_LE(label->textHeight(), label->height());
  }
  // The web address is plain text under a reserved example domain, no link.
  EXPECT_TRUE(w.Label6->text().startsWith(QStringLiteral("http://")));
  EXPECT_TRUE(w.Label6->text().endsWith(QStringLiteral(".example.com")));
  EXPECT_FALSE(w.Label6->openExternalLinks());
  EXPECT_EQ(w.Label6->textInteractionFlags(), Qt::NoTextInteraction);
  EXPECT_EQ(w.Label6->lineCount(), 1);
}

struct FontWanted {
  const char* control;
  std::vector<QString> families;
  qreal points;
  bool bold;
};

TEST_F(LauncherWindow, FontsResolveToTheirFacesOrFallbacks) {
  Start& w = window();
  const std::vector<QString> zhongsong{QStringLiteral("华文中宋"), QStringLiteral("STZhongsong"),
                                       QStringLiteral("Noto Serif CJK SC")};
  const std::vector<QString> songti{QStringLiteral("宋体"), QStringLiteral("SimSun"),
                                    QStringLiteral("Noto Serif CJK SC")};
  const std::vector<QString> arial{QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                                   QStringLiteral("DejaVu Sans")};
  const std::vector<FontWanted> wanted = {
      {"Label1", zhongsong, 18, true},  {"Label5", arial, 12, true},
      {"Label4", zhongsong, 10.5, true}, {"Text1", songti, 10.5, false},
      {"Command1", songti, 9, false},   {"Label3", zhongsong, 12, true},
      {"Command3", zhongsong, 9, false}, {"Command4", zhongsong, 9, false},
      {"Label6", arial, 10.5, true}};
  for (const auto& f : wanted) {
    SCOPED_TRACE(f.control);
    auto* control = w.findChild<QWidget*>(QString::fromLatin1(f.control));
    ASSERT_NE(control, nullptr);
    const QFontInfo info(control->font());
    EXPECT_THAT(f.families, Contains(info.family()));
    EXPECT_DOUBLE_EQ(control->font().pointSizeF(), f.points);
    EXPECT_EQ(info.bold(), f.bold);
    EXPECT_FALSE(info.italic());
  }
  EXPECT_TRUE(QFontMetrics(w.Label1->font()).inFontUcs4(U'课'));
  const QColor maroon(108, 34, 66);
  EXPECT_EQ(w.Label1->palette().color(QPalette::WindowText), maroon);
  EXPECT_EQ(w.Label3->palette().color(QPalette::WindowText), maroon);
  EXPECT_EQ(w.Label4->palette().color(QPalette::WindowText),
            QApplication::palette().color(QPalette::WindowText));
}

TEST_F(LauncherWindow, FocusStartsInThePathBoxAndTabsThroughTheControls) {
  Start& w = window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w, 20000));
  EXPECT_EQ(QApplication::focusWidget(), w.Text1);
  const std::vector<QWidget*> order{w.Command1, w.Command3, w.Command4, w.Text1};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
}

TEST_F(LauncherWindow, EnterAndEscapeTriggerNoButton) {
  Start& w = window();
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w, 20000));
  for (QPushButton* b : w.findChildren<QPushButton*>()) {
    EXPECT_FALSE(b->isDefault());
    EXPECT_FALSE(b->autoDefault());
  }
  QTest::keyClick(w.Text1, Qt::Key_Return);
  QTest::keyClick(w.Text1, Qt::Key_Enter);
  QTest::keyClick(w.Text1, Qt::Key_Escape);
  w.Command1->setFocus();
  QTest::keyClick(w.Command1, Qt::Key_Escape);
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(dialogs.last->log.empty());
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherWindow, PassiveControlsReactToNothing) {
  Start& w = window();
  w.show();
  for (QWidget* c : std::vector<QWidget*>{w.Image1, w.Label1, w.Label4, w.Label5, w.Label6})
    QTest::mouseClick(c, Qt::LeftButton, {}, QPoint(5, 5));
  w.Text1->setText(QStringLiteral("edited"));
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(dialogs.last->log.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherWindow, PathBoxHasNoLengthLimit) {
  const QString longPath = QStringLiteral("/") + QString(70000, QLatin1Char('a'));
  window().Text1->setText(longPath);
  EXPECT_EQ(window().Text1->text(), longPath);
}

TEST_F(LauncherWindow, HandPointerOnlyOverTheExitLabel) {
  Start& w = window();
  const QCursor hand = w.Label3->cursor();
  ASSERT_EQ(hand.shape(), Qt::BitmapCursor);
  EXPECT_EQ(hand.hotSpot(), QPoint(5, 0));
  const QImage colour = hand.bitmap().toImage();
  const QImage mask = hand.mask().toImage();
  ASSERT_EQ(colour.size(), QSize(32, 32));
  // The fingertip is drawn at the hot spot, in black.
  EXPECT_EQ(mask.pixelColor(5, 0), QColor(Qt::black));  // in the mask: drawn
  EXPECT_EQ(colour.pixelColor(5, 0), QColor(Qt::black));
  for (QWidget* c : std::vector<QWidget*>{&w, w.Label1, w.Label4, w.Label6, w.Image1})
    EXPECT_EQ(c->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(LauncherWindow, CursorReaderRejectsWhatIsNotAMonochromeCursor) {
  QFile f(QStringLiteral(":/launcher/hand.cur"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray good = f.readAll();
  ASSERT_TRUE(monochromeCursor(good).has_value());
  EXPECT_FALSE(monochromeCursor(good.left(good.size() - 10)).has_value());
  QByteArray icon = good;
  icon[2] = 1;  // an icon, not a cursor
  EXPECT_FALSE(monochromeCursor(icon).has_value());
  QFile ico(QStringLiteral(":/launcher/quenlo.ico"));
  ASSERT_TRUE(ico.open(QIODevice::ReadOnly));
  EXPECT_FALSE(monochromeCursor(ico.readAll()).has_value());
}

std::uint32_t le(const QByteArray& b, int at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

TEST_F(LauncherWindow, ArtworkFilesHaveTheirFormats) {
  QFile bmp(QStringLiteral(":/launcher/background.bmp"));
  ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
  const QByteArray b = bmp.readAll();
  EXPECT_EQ(b.left(2), QByteArray("BM"));
  EXPECT_EQ(le(b, 18, 4), 520u);
  EXPECT_EQ(le(b, 22, 4), 272u);
  EXPECT_EQ(le(b, 28, 2), 24u);

  QImageReader jpeg(QStringLiteral(":/launcher/emblem.jpg"));
  EXPECT_EQ(jpeg.format(), QByteArray("jpeg"));

  // The icon: 64, 48, 32, 24 and 16 pixels, each in 24-bit and 256 colours.
  QFile ico(QStringLiteral(":/launcher/quenlo.ico"));
  ASSERT_TRUE(ico.open(QIODevice::ReadOnly));
  const QByteArray i = ico.readAll();
  ASSERT_EQ(le(i, 2, 2), 1u);
  ASSERT_EQ(le(i, 4, 2), 10u);
  std::vector<std::pair<int, int>> images;  // size, bits per pixel
  for (int n = 0; n < 10; ++n) {
    const int entry = 6 + 16 * n;
    const int offset = static_cast<int>(le(i, entry + 12, 4));
    images.emplace_back(static_cast<std::uint8_t>(i[entry]), static_cast<int>(le(i, offset + 14, 2)));
  }
  for (int size : {64, 48, 32, 24, 16})
    for (int bits : {24, 8}) EXPECT_THAT(images, Contains(std::pair(size, bits)));
  const QList<QSize> sizes = window().windowIcon().availableSizes();
  EXPECT_THAT(sizes, IsSupersetOf({QSize(64, 64), QSize(48, 48), QSize(32, 32), QSize(24, 24),
                                   QSize(16, 16)}));
}

}  // namespace
}  // namespace launcher::testing
