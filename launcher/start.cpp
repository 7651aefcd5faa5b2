#include "launcher/start.h"

#include <QCloseEvent>
#include <QFile>
#include <QIcon>
#include <QMouseEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <limits>

#include "components/automation/automation.h"
#include "components/filedialog/commondialog.h"
#include "launcher/demonstration_path.h"
#include "launcher/hand_cursor.h"
#include "runtime/handling.h"
#include "runtime/qt/events.h"
#include "runtime/qt/twips.h"

// The window's pictures are compiled into the program (launcher.qrc).
static void initResources() { Q_INIT_RESOURCE(launcher); }

namespace launcher {

#ifdef _WIN32
const rt::Text kDemonstrationPresentation =
    u"C:\\『Vardel』课件快速制作系统\\Vardel模版及演示\\welcome.ppt";
#else
// Fixed when the kit is built: where it installs the presentation.
const rt::Text kDemonstrationPresentation = u"" VARDEL_DEMONSTRATION_PATH;
#endif

namespace {

constexpr char16_t kCaption[] = u"Vardel课件快速制作系统";
constexpr char16_t kFilter[] = u"PowerPoint 文本文件 Files(*.PPT)|*.PPT";

// Every position and size of the window, in twips relative to the client area.
using rt::pixels;
using rt::Twips;
namespace layout {
constexpr Twips Window{0, 0, 7845, 4185};
constexpr Twips Image1{450, 405, 720, 720};
constexpr Twips Label1{1215, 405, 4965, 465};
constexpr Twips Label5{1260, 810, 3705, 285};
constexpr Twips Label4{3420, 1755, 4200, 510};
constexpr Twips Text1{3465, 2340, 2715, 330};
constexpr Twips Command1{6300, 2340, 690, 330};
constexpr Twips Label3{5580, 3060, 555, 330};
constexpr Twips Command3{4545, 3105, 735, 330};
constexpr Twips Command4{5490, 3105, 690, 330};
constexpr Twips Label6{495, 3735, 2940, 240};
}  // namespace layout

// The typefaces, each with the substitutes used where it is not installed:
// the original faces win where they are present.
const QStringList kZhongsong{QStringLiteral("华文中宋"), QStringLiteral("STZhongsong"),
                             QStringLiteral("Noto Serif CJK SC")};
const QStringList kSongti{QStringLiteral("宋体"), QStringLiteral("SimSun"),
                          QStringLiteral("Noto Serif CJK SC")};
const QStringList kArial{QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                         QStringLiteral("DejaVu Sans")};

QFont typeface(const QStringList& families, qreal points, bool bold) {
  QFont f;
  f.setFamilies(families);
  f.setPointSizeF(points);
  f.setBold(bold);
  f.setItalic(false);
  f.setUnderline(false);
  return f;
}

const QColor kNavy(0, 0, 64);
const QColor kMaroon(108, 34, 66);

QString qt(std::u16string_view t) {
  return QString::fromUtf16(t.data(), static_cast<qsizetype>(t.size()));
}

// A label drawn on the window's surface: transparent, borderless, plain
// text, left-aligned from the top and wrapped within its width.
template <class Label = SurfaceLabel>
Label* surfaceLabel(QWidget* window, const QString& text, const Twips& where, const QFont& f,
                    const QColor* colour) {
  auto* label = new Label(text, window);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  label->setFrameShape(QFrame::NoFrame);
  label->setAutoFillBackground(false);
  label->setFocusPolicy(Qt::NoFocus);
  label->setFont(f);
  if (colour) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, *colour);
    label->setPalette(p);
  }
  label->setGeometry(pixels(where));
  return label;
}

QPushButton* button(QWidget* window, const QString& text, const Twips& where) {
  auto* b = new QPushButton(text, window);
  // No button answers Enter or Esc on its own.
  b->setAutoDefault(false);
  b->setDefault(false);
  b->setGeometry(pixels(where));
  return b;
}

}  // namespace

struct SurfaceLabel::Lines {
  QTextLayout layout;
  int count = 0;
  qreal height = 0;
};

void SurfaceLabel::layOut(Lines& lines) const {
  // Windows' Song-style faces take about 1.2 em per line with the baseline
  // near the em box's bottom; Noto CJK takes 1.44 em. Keep to the smaller.
  const QFontMetricsF metrics(font());
  const qreal em = QFontInfo(font()).pixelSize();
  const qreal ascent = std::min(metrics.ascent(), 0.95 * em);
  const qreal descent = std::min(metrics.descent(), 0.25 * em);
  const qreal pitch = std::min(metrics.lineSpacing(), 1.2 * em);

  QTextOption option(Qt::AlignLeft | Qt::AlignTop);
  option.setWrapMode(QTextOption::WordWrap);
  lines.layout.setText(text());
  lines.layout.setFont(font());
  lines.layout.setTextOption(option);
  lines.layout.beginLayout();
  lines.count = 0;
  for (QTextLine line = lines.layout.createLine(); line.isValid();
       line = lines.layout.createLine()) {
    line.setLineWidth(width());
    line.setPosition(QPointF(0, lines.count * pitch + ascent - line.ascent()));
    ++lines.count;
  }
  lines.layout.endLayout();
  lines.height = lines.count == 0 ? 0 : (lines.count - 1) * pitch + ascent + descent;
}

int SurfaceLabel::lineCount() const {
  Lines lines;
  layOut(lines);
  return lines.count;
}

int SurfaceLabel::textHeight() const {
  Lines lines;
  layOut(lines);
  return static_cast<int>(std::ceil(lines.height));
}

void SurfaceLabel::paintEvent(QPaintEvent*) {
  Lines lines;
  layOut(lines);
  QPainter painter(this);
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 foregroundRole()));
  lines.layout.draw(&painter, QPointF(0, 0));
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  event->accept();
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = pressed_ && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  pressed_ = false;
  event->accept();
  if (click) emit clicked();
}

Start::Start(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  initResources();
  setObjectName(QStringLiteral("Start"));
  setWindowTitle(QStringLiteral("Vardel课件制作系统"));
  setWindowIcon(QIcon(QStringLiteral(":/launcher/quenlo.ico")));
  setFixedSize(pixels(layout::Window).size());
  setFont(typeface(kZhongsong, 9, false));  // the font of the buttons that set none
  QPalette p = palette();
  p.setColor(QPalette::Window, kNavy);
  setPalette(p);
  setAutoFillBackground(true);
  picture_.load(QStringLiteral(":/launcher/background.bmp"));

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setPixmap(QPixmap(QStringLiteral(":/launcher/emblem.jpg")));
  Image1->setScaledContents(false);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Image1->setFrameShape(QFrame::NoFrame);
  Image1->setGeometry(pixels(layout::Image1));

  Label1 = surfaceLabel(this, QStringLiteral("Vardel课件快速制作系统"), layout::Label1,
                        typeface(kZhongsong, 18, true), &kMaroon);
  Label5 = surfaceLabel(this, QStringLiteral("Quenlo Making Courseware      "), layout::Label5,
                        typeface(kArial, 12, true), nullptr);
  Label4 = surfaceLabel(this,
                        QStringLiteral("注意：使用前请选择完成的POWERPOINT文档或直接点击“确定”"),
                        layout::Label4, typeface(kZhongsong, 10.5, true), nullptr);
  Label6 = surfaceLabel(this, QStringLiteral("http://vardel.example.com"), layout::Label6,
                        typeface(kArial, 10.5, true), nullptr);
  Label3 = surfaceLabel<ClickLabel>(this, QStringLiteral("退出"), layout::Label3,
                                    typeface(kZhongsong, 12, true), &kMaroon);
  if (QFile hand(QStringLiteral(":/launcher/hand.cur")); hand.open(QIODevice::ReadOnly)) {
    if (auto cursor = monochromeCursor(hand.readAll())) Label3->setCursor(*cursor);
  }

  Text1 = new QLineEdit(this);
  Text1->setFont(typeface(kSongti, 10.5, false));
  Text1->setMaxLength(std::numeric_limits<int>::max());  // no length limit
  Text1->setGeometry(pixels(layout::Text1));
  Command1 = button(this, QStringLiteral("浏览"), layout::Command1);
  Command1->setFont(typeface(kSongti, 9, false));
  Command3 = button(this, QStringLiteral("确定"), layout::Command3);
  Command4 = button(this, QStringLiteral("退出"), layout::Command4);

  Label1->setObjectName(QStringLiteral("Label1"));
  Label5->setObjectName(QStringLiteral("Label5"));
  Label4->setObjectName(QStringLiteral("Label4"));
  Label6->setObjectName(QStringLiteral("Label6"));
  Label3->setObjectName(QStringLiteral("Label3"));
  Text1->setObjectName(QStringLiteral("Text1"));
  Command1->setObjectName(QStringLiteral("Command1"));
  Command3->setObjectName(QStringLiteral("Command3"));
  Command4->setObjectName(QStringLiteral("Command4"));

  setTabOrder(Text1, Command1);
  setTabOrder(Command1, Command3);
  setTabOrder(Command3, Command4);
  Text1->setFocus(Qt::OtherFocusReason);

  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());

  connect(Command1, &QPushButton::clicked, this, [this] { rt::runEvent([this] { Command1_Click(); }); });
  connect(Command3, &QPushButton::clicked, this, [this] { rt::runEvent([this] { Command3_Click(); }); });
  connect(Command4, &QPushButton::clicked, this, [this] { rt::runEvent([this] { Command4_Click(); }); });
  connect(Label3, &ClickLabel::clicked, this, [this] { rt::runEvent([this] { Label3_Click(); }); });

  // The dialog component lies on the window: it exists from the start, and a
  // window whose component cannot be created does not come up.
  rt::runEvent([this] { CommonDialog1 = automation::createObject(filedialog::kProgId); });
  rt::runEvent([this] { Form_Load(); });
}

Start::~Start() = default;

void Start::BringToFront(std::int16_t position) {
  if (position != 0 && position != 1)
    rt::raiseError(rt::err::InvalidCall,
                   u"Invalid procedure call or argument: BringToFront takes 0 or 1.");
  frontOnShow_ = position == 1;
  if (frontOnShow_ && isVisible()) {
    raise();
    activateWindow();
  }
}

void Start::paintEvent(QPaintEvent*) {
  // The back colour fills the window (autoFillBackground); the picture goes
  // on top at its own size, leaving navy strips on the right and bottom.
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture_);
}

void Start::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  if (frontOnShow_) {
    raise();
    activateWindow();
  }
}

void Start::closeEvent(QCloseEvent* event) {
  // A close request from outside (window manager, end of the session,
  // SIGTERM): the unload step runs, and decides whether the window goes.
  std::int16_t cancel = 0;
  rt::runEvent([&] { Form_Unload(cancel); });
  event->setAccepted(cancel == 0);
}

// Ends the program at once: no further event procedure runs, the unload step
// included, so a presentation application just started is left running.
void Start::endAtOnce() {
  PPTApp.reset();
  CommonDialog1.reset();
  rt::endNow(0);
}

// --- Event procedures ------------------------------------------------------

void Start::Form_Load() {
  // A start screen should not open behind the windows the user already has.
  BringToFront(1);
}

void Start::Command1_Click() {
  using namespace filedialog::member;
  automation::setId(CommonDialog1, CancelError, true);
  try {
    automation::setId(CommonDialog1, Flags, std::int32_t{4});
    automation::setId(CommonDialog1, Filter, kFilter);
    automation::setId(CommonDialog1, Unnamed23, std::int16_t{2});
    automation::callId(CommonDialog1, ShowOpen);
    Text1->setText(qt(automation::getId(CommonDialog1, FileName).toText()));
  } catch (const rt::RuntimeError&) {
    // A cancel (or any other failure of the dialog) leaves Text1 as it was.
  }
}

void Start::Command3_Click() {
  PPTApp = automation::createObject(u"PowerPoint.Application");
  automation::set(PPTApp, u"Visible", true);
  rt::Text path;
  if (Text1->text().toStdU16String() == u"")  // blanks are a name, not "empty"
    path = kDemonstrationPresentation;
  else
    path = Text1->text().toStdU16String();
  {
    const rt::ObjectRef presentations = automation::get(PPTApp, u"Presentations").toObject();
    rt::Variant readOnly;  // never assigned: "ReadOnly" carries no value
    automation::Args args;
    args.named.push_back({u"FileName", path});
    args.named.push_back({u"ReadOnly", rt::Variant::byRef(readOnly)});
    automation::call(presentations, u"Open", std::move(args));
  }
  automation::set(PPTApp, u"Caption", kCaption);
  endAtOnce();
}

void Start::Command4_Click() { endAtOnce(); }

void Start::Label3_Click() { endAtOnce(); }

void Start::Form_Unload(std::int16_t& Cancel) {
  // Ask a presentation application started here to quit; with none started
  // the call fails for want of an object, which is ignored like any error.
  // Cancel is left as the window system passed it: the unload goes ahead.
  (void)Cancel;
  rt::resumeNext([this] { automation::call(PPTApp, u"Quit"); });
}

}  // namespace launcher
