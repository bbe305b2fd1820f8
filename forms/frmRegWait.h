#pragma once
// The please-wait window shown while the program loads and while a registration waits. Its
// label's alignment cycles centre → right → left so that the text moves across the window.
#include <QWidget>

class QLabel;
class QTimer;

class frmRegWait : public QWidget {
    Q_OBJECT
public:
    // The loaded window, loading it (and running Form_Load) when it is not.
    static frmRegWait& get();
    static bool isLoaded();
    // Runs Form_Unload and releases the window; nothing happens when it is not loaded.
    static void unload();

    void Timer1_Timer();

    QLabel* Label1 = nullptr;
    QTimer* Timer1 = nullptr;

private:
    frmRegWait();
    ~frmRegWait() override;
    void Form_Load();
    void Form_Unload();
};

// Centres a window on its screen, the way every form of the program does on load.
void centreOnScreen(QWidget& window);
