// SPDX-License-Identifier: MIT
// Screens, clicks and context data recorded from QML alone. The buttons have ids and no
// objectName: automatic capture names them by their ids ("window/.../saveButton").
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import SentrelTracker

ApplicationWindow {
    id: window
    width: 480
    height: 360
    visible: true
    title: "Sentrel Tracker Qt Quick demo"

    // The configuration file (sentrel.conf beside the program) is read on first use.
    Component.onCompleted: {
        Tracker.enabled = true
        stack.push(homePage)
    }

    header: ToolBar {
        RowLayout {
            anchors.fill: parent
            ToolButton {
                id: backButton
                text: "Back"
                enabled: stack.depth > 1
                onClicked: stack.pop()
            }
            Label {
                text: stack.currentItem ? stack.currentItem.title : ""
                Layout.fillWidth: true
            }
            Switch {
                id: trackingSwitch
                text: "Tracking"
                checked: Tracker.enabled
                onToggled: Tracker.enabled = checked
            }
        }
    }

    StackView {
        id: stack
        anchors.fill: parent
        // Every page shown is a screen view.
        onCurrentItemChanged: if (currentItem) Tracker.transition(currentItem.title)
    }

    Component {
        id: homePage
        Page {
            title: "Home"
            ColumnLayout {
                anchors.centerIn: parent
                Button {
                    id: openSettings
                    text: "Settings"
                    onClicked: {
                        Tracker.interaction("openSettings", "buttons")
                        stack.push(settingsPage)
                    }
                }
                Button {
                    id: helpButton
                    text: "Help"
                    // Not among the configured categories: automatic capture drops its events.
                    Tracker.category: "help"
                }
                Label { text: "Collector: " + Tracker.configuration.server }
            }
        }
    }

    Component {
        id: settingsPage
        Page {
            title: "Settings"
            ColumnLayout {
                anchors.centerIn: parent
                TextField {
                    id: nameField
                    placeholderText: "Your name (recorded as [text])"
                }
                Slider {
                    id: zoomSlider
                    from: 50
                    to: 200
                    value: 100
                    onPressedChanged: if (!pressed) Tracker.contextData("zoom", Math.round(value))
                }
                Button {
                    id: saveButton
                    text: "Save"
                    onClicked: {
                        Tracker.interaction("save", "zoom", zoomSlider.value, "buttons")
                        Tracker.dimensionData("named", nameField.text.length > 0 ? "yes" : "no")
                        stack.pop()
                    }
                }
            }
        }
    }
}
