#pragma once

#include <QString>

namespace tarnwick::link {

// Who reads the link's texts: the panel's operator is pointed at its menus,
// a shell user at the option or command that does the same.
enum class Reader { panel, shell };

// Reports to the operator; the window shows them as message boxes.
class LinkMessages {
  public:
    virtual ~LinkMessages() = default;
    virtual void port_error(const QString& text) = 0;
    // A switch the board's interlocked groups do not allow, or could not be
    // made safely: said once, for the click or command that asked.
    virtual void interlock_refused(const QString& text) { port_error(text); }
    [[nodiscard]] virtual Reader reader() const { return Reader::panel; }
};

}  // namespace tarnwick::link
