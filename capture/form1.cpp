#include "capture/form1.h"

#include <QCheckBox>
#include <QDir>
#include <QEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QWindow>
#include <limits>

#include "components/automation/automation.h"
#include "components/filedialog/commondialog.h"
#include "runtime/handling.h"
#include "runtime/qt/events.h"
#include "runtime/qt/twips.h"

namespace {

// --- The window's layout, in twips (15 twips = 1 pixel at 96 dpi). ---------
// Controls inside a frame are placed relative to the frame.
using rt::pixels;
using rt::Twips;
namespace layout {
constexpr int kClientWidth = 7785;
constexpr int kClientHeight = 5715;
constexpr Twips Frame1{360, 225, 4650, 735};
constexpr Twips Option1{450, 315, 870, 195};
constexpr Twips Option2{1755, 315, 1050, 195};
constexpr Twips Option3{3195, 315, 960, 240};
constexpr Twips StartCapture{5400, 225, 1995, 330};
constexpr Twips StopCapture{5400, 675, 1995, 330};
constexpr Twips Frame2{360, 990, 4650, 735};
constexpr Twips ChkAudio{675, 270, 1635, 285};
constexpr Twips exit{5445, 1935, 1950, 330};
constexpr Twips Label2{315, 2025, 1005, 240};
constexpr Twips Text3{1350, 1980, 3120, 285};
constexpr Twips CmdSave{4590, 1980, 420, 285};
constexpr Twips Label3{315, 2880, 1590, 240};
constexpr Twips Text4{2700, 2925, 3255, 285};
constexpr Twips Label4{315, 3420, 1995, 240};
constexpr Twips Text5{2700, 3420, 3255, 285};
constexpr Twips Label5{315, 3915, 1905, 375};
constexpr Twips Text6{2700, 3960, 3255, 870};
constexpr Twips Label6{315, 5040, 2175, 240};
constexpr Twips Text7{2700, 4995, 3255, 315};
}  // namespace layout

template <class W>
W* control(QWidget* parent, const char* name, const Twips& where) {
  auto* w = new W(parent);
  w->setObjectName(QString::fromLatin1(name));
  w->setGeometry(pixels(where));
  return w;
}

QPushButton* button(QWidget* parent, const char* name, const Twips& where, const QString& text) {
  auto* b = control<QPushButton>(parent, name, where);
  b->setText(text);
  b->setAutoDefault(false);  // no button reacts to Enter
  b->setDefault(false);
  return b;
}

QLabel* label(QWidget* parent, const char* name, const Twips& where, const QString& text) {
  auto* l = control<QLabel>(parent, name, where);
  l->setText(text);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setWordWrap(true);
  return l;
}

QLineEdit* textBox(QWidget* parent, const char* name, const Twips& where, const QString& text) {
  auto* t = control<QLineEdit>(parent, name, where);
  t->setMaxLength(std::numeric_limits<int>::max());  // no length limit
  t->setText(text);
  t->setCursorPosition(0);
  return t;
}

rt::Text text(const QLineEdit* box) { return box->text().toStdU16String(); }

// A check box's value: 0 unchecked, 1 checked (2 greyed, which the window never sets).
int value(const QCheckBox* box) {
  switch (box->checkState()) {
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    default: return 0;
  }
}

// A new encoder from whatever engine is registered under the class identifier.
encoder::Ref<encoder::Encoder> createEncoder() {
  rt::ObjectRef created;
  rt::Status s = automation::createInstance(encoder::kEncoderClassId, created);
  if (rt::errorNumberOf(s) == rt::err::CannotCreateObject)
    s = rt::fail(s, u"The recording engine is not available: no encoder is installed in this "
                    u"program, so nothing can be recorded.");
  rt::check(s);
  auto enc = std::dynamic_pointer_cast<encoder::Encoder>(created);
  if (!enc)
    rt::check(rt::fail(rt::status::NoInterface,
                       u"The recording engine is not available: the component registered as "
                       u"the encoder is not one."));
  return enc;
}

}  // namespace

QString defaultOutputFile() {
#ifdef _WIN32
  return QStringLiteral("C:\\OutputFile.wmv");
#else
  return QDir::toNativeSeparators(QDir::home().filePath(QStringLiteral("OutputFile.wmv")));
#endif
}

Form1::Form1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Capture Screen"));
  // Title bar with system menu and close box; no minimise or maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(pixels(layout::kClientWidth), pixels(layout::kClientHeight));
  setWindowIcon(QIcon(QStringLiteral(":/grabvid/grabvid.ico")));

  Frame1 = control<QGroupBox>(this, "Frame1", layout::Frame1);
  Frame1->setTitle(u"视频质量"_qs);
  Option1 = control<QRadioButton>(Frame1, "Option1", layout::Option1);
  Option1->setText(u"高质量"_qs);
  Option2 = control<QRadioButton>(Frame1, "Option2", layout::Option2);
  Option2->setText(u"中等质量"_qs);
  Option3 = control<QRadioButton>(Frame1, "Option3", layout::Option3);
  Option3->setText(u"低质量"_qs);
  Option2->setChecked(true);
  StartCapture = button(this, "StartCapture", layout::StartCapture, u"开始截屏"_qs);
  StopCapture = button(this, "StopCapture", layout::StopCapture, u"结束截屏"_qs);
  StopCapture->setEnabled(false);
  Frame2 = control<QGroupBox>(this, "Frame2", layout::Frame2);
  Frame2->setTitle(QStringLiteral("Audio"));
  ChkAudio = control<QCheckBox>(Frame2, "ChkAudio", layout::ChkAudio);
  ChkAudio->setText(QStringLiteral("Capture Audio"));
  exit = button(this, "exit", layout::exit, u"退出"_qs);
  Label2 = label(this, "Label2", layout::Label2, u"文档存为"_qs);
  Text3 = textBox(this, "Text3", layout::Text3, defaultOutputFile());
  CmdSave = button(this, "CmdSave", layout::CmdSave, QStringLiteral("..."));
  Label3 = label(this, "Label3", layout::Label3, u"作者姓名"_qs);
  Text4 = textBox(this, "Text4", layout::Text4, QStringLiteral("Author name"));
  Label4 = label(this, "Label4", layout::Label4, u"版权信息"_qs);
  Text5 = textBox(this, "Text5", layout::Text5, QStringLiteral("Copyright information"));
  Label5 = label(this, "Label5", layout::Label5, u"内容摘要"_qs);
  Text6 = textBox(this, "Text6", layout::Text6,
                  QStringLiteral("Text description of encoded content"));
  Text6->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // a single line drawn tall
  Label6 = label(this, "Label6", layout::Label6, u"标题"_qs);
  Text7 = textBox(this, "Text7", layout::Text7, QStringLiteral("Title of encoded content"));

  // Tab order. Of the option group only the selected button takes Tab focus;
  // the arrow keys move within the group.
  QWidget* order[] = {StopCapture, StartCapture, Option1, Option2, Option3, ChkAudio, exit,
                      Text3,       CmdSave,      Text4,   Text5,   Text6,   Text7};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  for (QRadioButton* option : {Option1, Option2, Option3}) {
    auto takeTabWhenSelected = [option](bool selected) {
      option->setFocusPolicy(selected ? Qt::StrongFocus : Qt::ClickFocus);
    };
    takeTabWhenSelected(option->isChecked());
    connect(option, &QRadioButton::toggled, option, takeTabWhenSelected);
  }
  StartCapture->setFocus();

  // Event procedures, each through the event dispatcher.
  connect(StartCapture, &QPushButton::clicked, this,
          [this] { rt::runEvent([this] { StartCapture_Click(); }); });
  connect(StopCapture, &QPushButton::clicked, this,
          [this] { rt::runEvent([this] { StopCapture_Click(); }); });
  connect(exit, &QPushButton::clicked, this, [this] { rt::runEvent([this] { exit_Click(); }); });
  connect(CmdSave, &QPushButton::clicked, this,
          [this] { rt::runEvent([this] { CmdSave_Click(); }); });

  // The dialog component; if it cannot be created the chooser reports that
  // when it is used (an empty reference), and the rest of the window works.
  if (rt::failed(automation::createInstance(filedialog::kProgId, CommonDialog1))) {
    CommonDialog1.reset();
    rt::clearErrorInfo();
  }
}

// The window releases its encoder when it goes: a running encoder completes
// its file on release, so closing the window loses no recording.
Form1::~Form1() = default;

// --- Capture control -----------------------------------------------------------

void Form1::StartCapture_Click() {
  Main();
  minimiseAwaited_ = true;
  setWindowState(Qt::WindowMinimized);
  if (!encoder) rt::raiseError(rt::err::ObjectRequired);
  rt::check(encoder->Start());
  StopCapture->setEnabled(true);
  StartCapture->setEnabled(false);
}

void Form1::StopCapture_Click() {
  if (!encoder) rt::raiseError(rt::err::ObjectRequired);
  rt::check(encoder->Stop());
  StopCapture->setEnabled(false);
  StartCapture->setEnabled(true);
}

void Form1::Form_Resize() {
  // The window system may tell of the start's own minimise only after the
  // start has returned. Deciding from the window's current state makes that
  // notification harmless: only one that finds the window on screen again
  // stops. A desktop that refused the minimise leaves the window where it
  // was; its "not minimised" is no restore, and the recording goes on until
  // the stop button, a real restore, a size change or exit.
  if (StopCapture->isEnabled() && !isMinimized() && !minimiseAwaited_) StopCapture_Click();
}

void Form1::exit_Click() {
  rt::resumeNext([this] {
    if (!encoder) rt::raiseError(rt::err::ObjectRequired);
    rt::check(encoder->Stop());
  });
  encoder.reset();
  rt::endNow(0);
}

void Form1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shownOnce_) {
    shownOnce_ = true;
    // Exposure is told to the window, not to the widget.
    if (QWindow* window = windowHandle()) window->installEventFilter(this);
    raiseResize();
  }
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  // The desktop took the window off screen (on X11 the window manager unmaps
  // an iconified window): the minimise the start asked for happened, so the
  // next "not minimised" is the user bringing the window back.
  if (event->type() == QEvent::Expose && watched == windowHandle() &&
      !windowHandle()->isExposed())
    minimiseAwaited_ = false;
  return QWidget::eventFilter(watched, event);
}

void Form1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) raiseResize();
}

void Form1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The size given before the first show is not a change of size.
  if (shownOnce_ && event->oldSize().isValid() && event->oldSize() != event->size()) {
    // A window the desktop resizes is on screen, whatever became of the
    // start's minimise request: the change counts like any other.
    minimiseAwaited_ = false;
    raiseResize();
  }
}

void Form1::raiseResize() {
  rt::runEvent([this] { Form_Resize(); });
}

// --- Encoder set-up ------------------------------------------------------------

void Form1::Main() {
  using namespace encoder;
  // 1. A new encoder replaces (and releases) the previous one.
  encoder = createEncoder();

  // 2. One source group.
  Ref<SourceGroupCollection> groups;
  rt::check(encoder->get_SourceGroupCollection(groups));
  Ref<SourceGroup> group;
  rt::check(groups->Add(u"SG_1", group));

  // 3. The screen, and with audio ticked the default audio device; both
  //    sources are added before either input is set.
  Ref<Source> added;
  Ref<VideoSource> video;
  Ref<AudioSource> audio;
  const bool withAudio = value(ChkAudio) == 1;
  rt::check(group->AddSource(SourceType::Video, added));
  rt::check(query(added, video));
  if (withAudio) {
    rt::check(group->AddSource(SourceType::Audio, added));
    rt::check(query(added, audio));
  }
  added.reset();
  rt::check(video->SetInput(u"ScreenCap://ScreenCapture1", u"", u""));
  if (withAudio) rt::check(audio->SetInput(u"DEVICE://Default_Audio_Device", u"", u""));

  // 4. The profile name from the audio and quality choices, each read now.
  rt::Text profileName = value(ChkAudio) == 1 ? u"屏幕视频/音频" : u"屏幕视频";
  if (Option1->isChecked()) profileName += u" - 高(CBR)";
  if (Option2->isChecked()) profileName += u" - 中(CBR)";
  if (Option3->isChecked()) {
    if (value(ChkAudio) != 1) profileName += u"(CBR)";
  }

  // 5. The first profile of that name, searched with a 16-bit index: a count
  //    whose last position does not fit overflows before the first look, and
  //    stepping past 32767 overflows after the last.
  {
    Ref<ProfileCollection> profiles;
    rt::check(encoder->get_ProfileCollection(profiles));
    std::int32_t count = 0;
    rt::check(profiles->get_Count(count));
    const std::int16_t last = rt::toInt16(std::int64_t{count} - 1);
    for (std::int16_t i = 0; i <= last; i = rt::toInt16(std::int32_t{i} + 1)) {
      Ref<Profile> profile;
      rt::check(profiles->Item(i, profile));
      rt::Text name;
      rt::check(profile->get_Name(name));
      if (name == profileName) {
        rt::check(group->put_Profile(rt::Variant(profile)));
        break;
      }
    }
  }

  // 6. The descriptive texts, exactly as the boxes hold them.
  {
    Ref<ContentDescription> description;
    rt::check(encoder->get_DisplayInfo(description));
    rt::check(description->put_Author(text(Text4)));
    rt::check(description->put_Copyright(text(Text5)));
    rt::check(description->put_Description(text(Text6)));
    rt::check(description->put_Rating(u"Rating information"));
    rt::check(description->put_Title(text(Text7)));
  }

  // 7. The one attribute.
  {
    Ref<AttributeCollection> attributes;
    rt::check(encoder->get_Attributes(attributes));
    rt::check(attributes->Add(u"URL", rt::Variant(u"IP address")));
  }

  // 8. The output file, unchanged.
  {
    Ref<OutputFile> file;
    rt::check(encoder->get_File(file));
    rt::check(file->put_LocalFileName(text(Text3)));
  }

  // 9. The whole screen: no margin cropped, right, top, bottom, left.
  rt::check(video->put_CroppingRightMargin(0));
  rt::check(video->put_CroppingTopMargin(0));
  rt::check(video->put_CroppingBottomMargin(0));
  rt::check(video->put_CroppingLeftMargin(0));
  // 10. Every reference taken here goes with its scope, on the error path too.
}

// --- Output file chooser ------------------------------------------------------

void Form1::CmdSave_Click() { ChooseOutputFile(); }

void Form1::ChooseOutputFile() {
  using namespace filedialog;
  automation::setId(CommonDialog1, member::CancelError, true);
  // From here on any error (the user's cancel included) ends the chooser
  // silently, leaving Text3 as it was.
  try {
    automation::setId(CommonDialog1, member::Flags, std::int32_t{4});
    automation::setId(CommonDialog1, member::Filter, u"屏幕视频文件(*.WMV)|*.WMV");
    automation::setId(CommonDialog1, member::Unnamed23, std::int16_t{2});
    automation::callId(CommonDialog1, member::ShowOpen);
    Text3->setText(
        QString::fromStdU16String(automation::getId(CommonDialog1, member::FileName).toText()));
  } catch (const rt::RuntimeError&) {
    rt::clearErrorInfo();
  }
}
