// The decoders an input is read through, for users who asked to see them
// after every open ("editFilters").
#pragma once

#include <QtWidgets/QDialog>
#include <QtWidgets/QListWidget>

#include <string>
#include <vector>

namespace quillon::app {

class QtHost;

class TFilterDialog : public QDialog {
public:
    TFilterDialog(QtHost& host, const std::vector<std::string>& filters, QWidget* parent);
    QListWidget* list() const { return list_; }
    // The chosen decoder's settings pages. Our decoders have none to show.
    void showProperties();

private:
    QtHost& host_;
    QListWidget* list_;
};

}  // namespace quillon::app
