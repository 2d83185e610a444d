#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

#include "attach/service_client.h"
#include "panel/panel_view.h"
#include "ui/message_boxes.h"

namespace tarnwick::ui {

// The window's line while tarnwickd holds the device the port number names:
// the cells show the service's view of the board in the address entry, a
// click is a call to the service, and the panel sends no frame itself. When
// the service goes away the cells turn unknown; it is looked for again until
// it is back with the device.
class AttachedLine : public QObject {
    Q_OBJECT
  public:
    AttachedLine(QDBusConnection bus, attach::HeldLine line, QString device, link::PanelView& view,
                 OperatorMessages& messages, QObject* parent = nullptr);
    ~AttachedLine() override;

    // The board the address entry names now (any text; one that is no
    // number or no board of the line shows unknown cells).
    void show_board(const QString& address_text);
    void click(int n);
    void switch_all(bool on);
    // Stores a name through the service; the reason when it did not.
    std::optional<QString> rename(const QString& address_text, int relay, const QString& name);

    // The shown board's names as the service has them: 16, or none.
    [[nodiscard]] QStringList names() const;
    [[nodiscard]] QString port_tip() const;
    [[nodiscard]] QString cell_tip() const;

    // The service's line as last read, its bus, and whether the service is there.
    [[nodiscard]] const attach::HeldLine& line() const { return line_; }
    [[nodiscard]] const QDBusConnection& bus() const { return bus_; }
    [[nodiscard]] bool present() const { return present_; }

  signals:
    // The shown board's names changed on the service's side (or another
    // board is shown).
    void names_changed();
    // The line's boards changed (its Boards property, or the service came back).
    void boards_changed();

  private slots:
    void on_line_changed(const QString& interface, const QVariantMap& changed,
                         const QStringList& invalidated);

  private:
    void repaint();
    void service_gone();
    void look_again();
    void follow_line(bool follow);
    // The object of the board an address entry names, when the line has it.
    [[nodiscard]] std::optional<QString> board_path(const QString& address_text) const;
    // Whether a board is shown; when not, the click that asked is told why.
    bool board_or_say_why();
    QString not_a_board_text() const;
    [[nodiscard]] QString refusal_words(const attach::CallResult& result) const;
    void report(const attach::CallResult& result);
    void refused(const attach::CallResult& result);

    QDBusConnection bus_;
    attach::HeldLine line_;
    QString device_;  // as the port number named it
    link::PanelView& view_;
    OperatorMessages& messages_;
    std::unique_ptr<attach::BoardClient> board_;
    QString address_text_;
    bool present_ = true;
    QDBusServiceWatcher watcher_;
    QTimer retry_;
};

}  // namespace tarnwick::ui
