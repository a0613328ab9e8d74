#include "app/filter_dialog.h"

#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include "app/qt_host.h"

namespace quillon::app {

TFilterDialog::TFilterDialog(QtHost& host, const std::vector<std::string>& filters, QWidget* parent)
    : QDialog(parent), host_(host) {
    setWindowTitle("Filters");
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget(this);
    for (const std::string& f : filters) list_->addItem(QString::fromStdString(f));
    if (list_->count() > 0) list_->setCurrentRow(0);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* props = buttons->addButton("&Properties", QDialogButtonBox::ActionRole);
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(props, &QPushButton::clicked, this, [this] { showProperties(); });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { showProperties(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setMinimumWidth(360);
}

void TFilterDialog::showProperties() {
    if (!list_->currentItem()) {
        host_.show("Quillon Converter", "Unable to find specified filter");
        return;
    }
    host_.show("Quillon Converter", "Unable to find filter properties");
}

}  // namespace quillon::app
