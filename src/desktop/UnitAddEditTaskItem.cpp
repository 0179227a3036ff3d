#include "desktop/UnitAddEditTaskItem.h"

#include "repository/OtTaskOperations.h"

#include "app/AppContext.h"
#include "common/Clock.h"
#include "desktop/OtDateTimeText.h"
#include "desktop/OtDesktopContext.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "tasks/OtTaskUtility.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

namespace ot {

namespace {
constexpr const char* kStyleProperty = "StyleLookup";

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* key, int w, int h) {
    auto* b = new QPushButton(parent);
    b->setObjectName(QLatin1String(name));
    if (key)
        SetLangText(b, QLatin1String(key));
    b->setFixedSize(w, h);
    b->setAutoDefault(false);
    return b;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* key) {
    auto* l = new QLabel(parent);
    l->setObjectName(QLatin1String(name));
    SetLangText(l, QLatin1String(key));
    return l;
}

// The OK/Cancel strip at the bottom of a picker.
QWidget* AddPickerButtons(QDialog& ADialog, QPushButton*& AOK, QPushButton*& ACancel) {
    auto* strip = new QWidget(&ADialog);
    strip->setFixedHeight(43);
    auto* row = new QHBoxLayout(strip);
    AOK = MakeButton(strip, "btnOK", "OK", 94, 22);
    ACancel = MakeButton(strip, "btnCancel", "Cancel", 94, 22);
    row->addStretch();
    row->addWidget(AOK);
    row->addStretch();
    row->addWidget(ACancel);
    row->addStretch();
    QObject::connect(AOK, &QPushButton::clicked, &ADialog, &QDialog::accept);
    QObject::connect(ACancel, &QPushButton::clicked, &ADialog, &QDialog::reject);
    return strip;
}

QString VariantDigit() {
    return QString::number(DesktopContext().Settings.StyleVariant);
}
} // namespace

void SetButtonStyle(QPushButton* AButton, const char* ABaseName) {
    AButton->setProperty(kStyleProperty, QLatin1String(ABaseName) + VariantDigit());
    // Re-evaluate style sheet selectors on the property.
    AButton->style()->unpolish(AButton);
    AButton->style()->polish(AButton);
}

bool TfrmAddEditTaskItem::IsActive(const QPushButton* AButton) {
    return AButton->property(kStyleProperty).toString().contains(QLatin1String("StyleEnabled"));
}

// ---- date picker ----------------------------------------------------------------

TfrmSetDate::TfrmSetDate(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmSetDate"));
    resize(320, 203);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    Calendar1 = new QCalendarWidget(this);
    Calendar1->setObjectName(QStringLiteral("Calendar1"));
    Calendar1->setVerticalHeaderFormat(QCalendarWidget::ISOWeekNumbers);
    box->addWidget(Calendar1, 1);
    box->addWidget(AddPickerButtons(*this, btnOK, btnCancel));
    FormCreate();
}

void TfrmSetDate::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("Set Date")));
    Calendar1->setSelectedDate(QDate::currentDate());
}

TDateTime TfrmSetDate::Date() const {
    return FromQDate(Calendar1->selectedDate());
}

void TfrmSetDate::SetDate(TDateTime value) {
    Calendar1->setSelectedDate(ToQDateTime(value).date());
}

// ---- time picker ----------------------------------------------------------------

TfrmSetTime::TfrmSetTime(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmSetTime"));
    resize(320, 200);
    auto* box = new QVBoxLayout(this);
    auto* boxes = new QHBoxLayout;
    auto makeBox = [this](const char* name, int max) {
        auto* b = new QSpinBox(this);
        b->setObjectName(QLatin1String(name));
        b->setRange(0, max);
        b->setFixedSize(89, 65);
        b->setAlignment(Qt::AlignCenter);
        b->setButtonSymbols(QAbstractSpinBox::NoButtons);
        QFont f = b->font();
        f.setPixelSize(50);
        b->setFont(f);
        b->setWrapping(true);
        connect(b, &QSpinBox::valueChanged, this, [this, b] { OnNumberBoxChange(b); });
        return b;
    };
    nmbbxHour = makeBox("nmbbxHour", 23);
    nmbbxMin = makeBox("nmbbxMin", 59);
    boxes->addStretch();
    boxes->addWidget(nmbbxHour);
    boxes->addSpacing(31);
    boxes->addWidget(nmbbxMin);
    boxes->addStretch();
    box->addStretch();
    box->addLayout(boxes);
    box->addStretch();
    box->addWidget(AddPickerButtons(*this, btnOK, btnCancel));
    FormCreate();
}

void TfrmSetTime::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("Set Time")));
    nmbbxHour->setValue(9);
    nmbbxMin->setValue(0);
    OnNumberBoxChange(nmbbxHour);
    OnNumberBoxChange(nmbbxMin);
}

void TfrmSetTime::OnNumberBoxChange(QSpinBox* ABox) {
    // Single digits always show with a leading zero.
    ABox->setPrefix(ABox->value() < 10 ? QStringLiteral("0") : QString());
}

TDateTime TfrmSetTime::Time() const {
    return EncodeTime(nmbbxHour->value(), nmbbxMin->value(), 0);
}

void TfrmSetTime::SetTime(TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    nmbbxHour->setValue(p.Hour);
    nmbbxMin->setValue(p.Minute);
}

// ---- editor ----------------------------------------------------------------------

TfrmAddEditTaskItem::TfrmAddEditTaskItem(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAddEditTaskItem"));
    resize(320, 480);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto* tools = new QWidget(this);
    tools->setObjectName(QStringLiteral("lytTools"));
    tools->setFixedHeight(41);
    btnCancel = MakeButton(tools, "btnCancel", "Cancel", 80, 22);
    btnDelete = MakeButton(tools, "btnDelete", "Delete", 80, 22);
    btnOK = MakeButton(tools, "btnOK", "OK", 80, 22);
    btnCancel->move(8, 8);
    btnDelete->move(144, 8);
    btnOK->move(232, 8);
    root->addWidget(tools);

    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    // Layout00 follows the scroll box's size (ScrollBox1Resize).
    ScrollBox1->setWidgetResizable(true);
    Layout00 = new QWidget;
    Layout00->setObjectName(QStringLiteral("Layout00"));
    ScrollBox1->setWidget(Layout00);
    root->addWidget(ScrollBox1, 1);

    auto* body = new QVBoxLayout(Layout00);
    body->setContentsMargins(8, 5, 8, 5);
    edtTaskTitle = new QLineEdit(Layout00);
    edtTaskTitle->setObjectName(QStringLiteral("edtTaskTitle"));
    edtTaskTitle->setFixedHeight(23);
    body->addWidget(edtTaskTitle);
    chkbxCompleted = new QCheckBox(Layout00);
    chkbxCompleted->setObjectName(QStringLiteral("chkbxCompleted"));
    SetLangText(chkbxCompleted, QStringLiteral("Completed"));
    body->addWidget(chkbxCompleted);
    lblRemarks = MakeLabel(Layout00, "lblRemarks", "Remarks");
    body->addWidget(lblRemarks);
    mmTaskRemarks = new QPlainTextEdit(Layout00);
    mmTaskRemarks->setObjectName(QStringLiteral("mmTaskRemarks"));
    body->addWidget(mmTaskRemarks, 1);
    lblExpirationDateAlertTime =
        MakeLabel(Layout00, "lblExpirationDateAlertTime", "Expiration Date & Alert Time ");
    body->addWidget(lblExpirationDateAlertTime);

    auto buttonLine = [&](QPushButton*& main, const char* mainName, QPushButton*& clear,
                          const char* clearName) {
        auto* line = new QHBoxLayout;
        main = MakeButton(Layout00, mainName, nullptr, 193, 22);
        clear = MakeButton(Layout00, clearName, nullptr, 22, 22);
        clear->setText(QStringLiteral("×"));
        line->addWidget(main);
        line->addWidget(clear);
        line->addStretch();
        body->addLayout(line);
    };
    buttonLine(btnExpirationDate, "btnExpirationDate", btnClearDate, "btnClearDate");
    buttonLine(btnAlertTime, "btnAlertTime", btnClearTime, "btnClearTime");

    auto* prio = new QHBoxLayout;
    lblPriority = MakeLabel(Layout00, "lblPriority", "Priority");
    spnbxPriority = new QSpinBox(Layout00);
    spnbxPriority->setObjectName(QStringLiteral("spnbxPriority"));
    spnbxPriority->setRange(0, 9);
    spnbxPriority->setSingleStep(1);
    spnbxPriority->setFixedSize(103, 22);
    prio->addWidget(lblPriority);
    prio->addWidget(spnbxPriority);
    prio->addStretch();
    body->addLayout(prio);

    auto* cls = new QHBoxLayout;
    lblTaskClass = MakeLabel(Layout00, "lblTaskClass", "Task Classification");
    cmbbxTaskClass = new QComboBox(Layout00);
    cmbbxTaskClass->setObjectName(QStringLiteral("cmbbxTaskClass"));
    // 191 wide as designed, narrower where a longer label needs the room
    // (the window never grows beyond its 320 pixels for it).
    cmbbxTaskClass->setFixedHeight(22);
    cmbbxTaskClass->setMinimumWidth(90);
    cmbbxTaskClass->setMaximumWidth(191);
    cmbbxTaskClass->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    cmbbxTaskClass->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmbbxTaskClass->setMinimumContentsLength(6);
    cls->addWidget(lblTaskClass);
    cls->addWidget(cmbbxTaskClass, 1);
    cls->addStretch();
    body->addLayout(cls);

    lytAttribute = new QWidget(this);
    lytAttribute->setObjectName(QStringLiteral("lytAttribute"));
    lytAttribute->setFixedHeight(25);
    auto* attr = new QHBoxLayout(lytAttribute);
    attr->setContentsMargins(8, 0, 8, 0);
    lblAttribute = new QLabel(lytAttribute);
    lblAttribute->setObjectName(QStringLiteral("lblAttribute"));
    attr->addWidget(lblAttribute);
    root->addWidget(lytAttribute);

    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnOK, &QPushButton::clicked, this, &TfrmAddEditTaskItem::btnOKClick);
    connect(btnDelete, &QPushButton::clicked, this, &TfrmAddEditTaskItem::btnDeleteClick);
    connect(btnExpirationDate, &QPushButton::clicked, this,
            &TfrmAddEditTaskItem::btnExpirationDateClick);
    connect(btnAlertTime, &QPushButton::clicked, this, &TfrmAddEditTaskItem::btnAlertTimeClick);
    connect(btnClearDate, &QPushButton::clicked, this, &TfrmAddEditTaskItem::btnClearDateClick);
    connect(btnClearTime, &QPushButton::clicked, this, &TfrmAddEditTaskItem::btnClearTimeClick);
}

void TfrmAddEditTaskItem::LoadTaskItemForm(TaskItemFormStatus AFormStatus,
                                           const TOtTaskItemPtr& ATaskItem) {
    FFormStatus = AFormStatus;
    FTaskItem = ATaskItem;
    setResult(QDialog::Rejected);
    LoadTaskClassCombobox();
    if (FFormStatus == tfsAdd)
        LoadAddForm();
    else
        LoadEditForm();
}

void TfrmAddEditTaskItem::LoadTaskClassCombobox() {
    cmbbxTaskClass->clear();
    const TOtTaskClassList* classes = DesktopContext().TaskClassList;
    const TOtTaskClassPtr own = FTaskItem ? FTaskItem->TaskClass() : nullptr;
    int selected = 0;
    if (classes)
        for (std::size_t i = 0; i < classes->size(); ++i) {
            const TOtTaskClassPtr& c = (*classes)[i];
            // Class titles are the user's own: never translated.
            cmbbxTaskClass->addItem(Q(c->Title()), QVariant::fromValue(static_cast<int>(i)));
            if (own && c->ID() == own->ID())
                selected = static_cast<int>(i);
        }
    cmbbxTaskClass->setCurrentIndex(cmbbxTaskClass->count() ? selected : -1);
}

void TfrmAddEditTaskItem::ResetDateTimeButtons() {
    btnExpirationDate->setProperty("TagString", QString());
    btnAlertTime->setProperty("TagString", QString());
    btnExpirationDate->setText(LangTranslate(QStringLiteral("Set Date")));
    btnAlertTime->setText(LangTranslate(QStringLiteral("No Alert")));
    SetButtonStyle(btnExpirationDate, "BtnDateTimeStyleEnabled");
    SetButtonStyle(btnAlertTime, "BtnDateTimeStyleDisabled");
    SetButtonStyle(btnClearDate, "BtnClearStyleDisabled");
    SetButtonStyle(btnClearTime, "BtnClearStyleDisabled");
}

void TfrmAddEditTaskItem::LoadAddForm() {
    setWindowTitle(LangTranslate(QStringLiteral("Add Task Item")));
    btnDelete->hide();
    edtTaskTitle->setText(Q(FTaskItem->Title()));
    chkbxCompleted->setChecked(false);
    mmTaskRemarks->clear();
    ResetDateTimeButtons();
    spnbxPriority->setValue(5);
    cmbbxTaskClass->setEnabled(false);
    lblAttribute->clear();
    edtTaskTitle->setFocus();
}

void TfrmAddEditTaskItem::LoadEditForm() {
    setWindowTitle(LangTranslate(QStringLiteral("Edit Task Item")));
    btnDelete->show();
    const TOtTaskItem& item = *FTaskItem;
    edtTaskTitle->setText(Q(item.Title()));
    mmTaskRemarks->setPlainText(Q(item.Remarks()));
    chkbxCompleted->setChecked(item.Status() != tsNotCompleted);
    ResetDateTimeButtons();
    if (item.ExpirationDate() != 0) {
        const QString date = ShortDateText(item.ExpirationDate());
        btnExpirationDate->setText(date);
        btnExpirationDate->setProperty("TagString", date);
        SetButtonStyle(btnAlertTime, "BtnDateTimeStyleEnabled");
        SetButtonStyle(btnClearDate, "BtnClearStyleEnabled");
        if (item.AlertTime() != 0) {
            const QString time = LongTimeText(item.AlertTime());
            btnAlertTime->setText(time);
            btnAlertTime->setProperty("TagString", time);
            SetButtonStyle(btnClearTime, "BtnClearStyleEnabled");
        }
    }
    spnbxPriority->setValue(item.Priority());
    cmbbxTaskClass->setEnabled(true);
    lblAttribute->clear();
    lytAttribute->setVisible(item.CreateDateTime() != 0);
    if (item.CreateDateTime() != 0) {
        if (item.FinishDateTime() != 0)
            lblAttribute->setText(DateTimeText(item.CreateDateTime()) + QStringLiteral(" ~ ") +
                                  DateTimeText(item.FinishDateTime()));
        else
            lblAttribute->setText(LangTranslate(QStringLiteral("Create DateTime")) +
                                  QStringLiteral(": ") + DateTimeText(item.CreateDateTime()));
    }
    edtTaskTitle->setFocus();
}

void TfrmAddEditTaskItem::btnExpirationDateClick() {
    TfrmSetDate* picker = DesktopContext().frmSetDate;
    if (!picker)
        return;
    const QString current = btnExpirationDate->property("TagString").toString();
    picker->SetDate(current.isEmpty() ? FromQDate(QDate::currentDate()) : ParseShortDate(current));
    picker->move(MainFormPosSize.Left, MainFormPosSize.Top);
    if (ExecModal(*picker) != QDialog::Accepted)
        return;
    const QString date = ShortDateText(picker->Date());
    btnExpirationDate->setText(date);
    btnExpirationDate->setProperty("TagString", date);
    SetButtonStyle(btnAlertTime, "BtnDateTimeStyleEnabled");
    SetButtonStyle(btnClearDate, "BtnClearStyleEnabled");
}

void TfrmAddEditTaskItem::btnAlertTimeClick() {
    TfrmSetTime* picker = DesktopContext().frmSetTime;
    if (!IsActive(btnAlertTime) || !picker)
        return;
    const QString current = btnAlertTime->property("TagString").toString();
    if (!current.isEmpty())
        picker->SetTime(ParseTimeText(current));
    picker->move(MainFormPosSize.Left, MainFormPosSize.Top);
    if (ExecModal(*picker) != QDialog::Accepted)
        return;
    const QString time = ToQDateTime(picker->Time()).toString(QStringLiteral("hh:mm"));
    btnAlertTime->setText(time);
    btnAlertTime->setProperty("TagString", time);
    SetButtonStyle(btnClearTime, "BtnClearStyleEnabled");
}

void TfrmAddEditTaskItem::btnClearDateClick() {
    if (!IsActive(btnClearDate))
        return;
    btnExpirationDate->setText(LangTranslate(QStringLiteral("Set Date")));
    btnExpirationDate->setProperty("TagString", QString());
    // Clearing the date clears the time as well.
    SetButtonStyle(btnClearTime, "BtnClearStyleEnabled");
    btnClearTimeClick();
    SetButtonStyle(btnClearDate, "BtnClearStyleDisabled");
    SetButtonStyle(btnAlertTime, "BtnDateTimeStyleDisabled");
    SetButtonStyle(btnClearTime, "BtnClearStyleDisabled");
}

void TfrmAddEditTaskItem::btnClearTimeClick() {
    if (!IsActive(btnClearTime))
        return;
    btnAlertTime->setText(LangTranslate(QStringLiteral("No Alert")));
    btnAlertTime->setProperty("TagString", QString());
    if (btnExpirationDate->property("TagString").toString().isEmpty())
        SetButtonStyle(btnAlertTime, "BtnDateTimeStyleDisabled");
    SetButtonStyle(btnClearTime, "BtnClearStyleDisabled");
}

bool TfrmAddEditTaskItem::WarnTitle(const QString& AText) {
    ShowMessageDialog(AText, mtWarning, QMessageBox::Ok);
    edtTaskTitle->setFocus();
    return false;
}

void TfrmAddEditTaskItem::btnOKClick() {
    if (const TTitleProblem problem = CheckTaskTitle(edtTaskTitle->text().toStdString())) {
        WarnTitle(TitleProblemText(problem));
        return;
    }
    SaveTaskItemForm();
    accept();
}

bool TfrmAddEditTaskItem::SaveTaskItemForm() {
    TOtTaskItem& item = *FTaskItem;
    item.SetTitle(edtTaskTitle->text().toStdString());
    TOtTaskOperations::SetCompleted(item, chkbxCompleted->isChecked());
    item.SetRemarks(mmTaskRemarks->toPlainText().toStdString());
    const QString date = btnExpirationDate->property("TagString").toString();
    if (!date.isEmpty()) {
        item.SetExpirationDate(ParseShortDate(date));
        const QString time = btnAlertTime->property("TagString").toString();
        item.SetAlertTime(time.isEmpty() ? 0 : ParseTimeText(time));
    } else {
        item.SetExpirationDate(0);
        item.SetAlertTime(0);
    }
    item.SetPriority(spnbxPriority->value());
    const TOtTaskClassList* classes = DesktopContext().TaskClassList;
    const int i = cmbbxTaskClass->currentData().toInt();
    if (classes && cmbbxTaskClass->currentIndex() >= 0 && i >= 0 &&
        i < static_cast<int>(classes->size()))
        item.SetTaskClass((*classes)[static_cast<std::size_t>(i)]);
    return true;
}

void TfrmAddEditTaskItem::btnDeleteClick() {
    TOtTaskClassGUI* pager = DesktopContext().TaskClassGUI;
    TOtTaskListItem* page = pager ? pager->CurrentTaskListItem() : nullptr;
    // Cancel, so the page does not save the deleted item.
    if (page && page->DoDeleteTaskItem())
        reject();
}

} // namespace ot
