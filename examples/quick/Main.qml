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

    // Whether the person's decision lets events be recorded.
    property bool tracking: Tracker.consent >= Tracker.ConsentAnonymous

    // The configuration file (sentrel.conf beside the program) is read on first use. Nothing
    // is recorded before the person chooses in the privacy dialog.
    Component.onCompleted: {
        Tracker.consentRequired = true
        Tracker.enabled = true
        stack.push(homePage)
        if (Tracker.consent === Tracker.ConsentUndecided)
            privacyDialog.open()
    }

    // The screen shown when the choice was made was not recorded: record it now.
    onTrackingChanged: if (tracking && stack.currentItem) Tracker.transition(stack.currentItem.title)

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
            ToolButton {
                id: privacyButton
                text: "Privacy"
                onClicked: privacyDialog.open()
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

    function describe(consent) {
        switch (consent) {
        case Tracker.ConsentDenied: return "You chose not to be tracked."
        case Tracker.ConsentAnonymous: return "You are tracked without your identity."
        case Tracker.ConsentGranted: return "You allowed tracking."
        }
        return "You have not chosen yet."
    }

    Dialog {
        id: privacyDialog
        title: "Your privacy"
        modal: true
        anchors.centerIn: parent
        width: parent.width - 40

        Tracker.onForgetMeFinished: (ok) => forgetOutcome.text = ok
            ? "Everything kept about you was deleted."
            : "Some files could not be deleted."

        function choose(consent) {
            Tracker.consent = consent
            close()
        }

        ColumnLayout {
            anchors.fill: parent
            Label {
                text: "This demo can record how you use it: the pages you open and the buttons "
                      + "you press, never what you type. Nothing is recorded until you choose."
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
            }
            Label { text: window.describe(Tracker.consent) }
            RowLayout {
                Button {
                    id: denyButton
                    text: "Don't track me"
                    onClicked: privacyDialog.choose(Tracker.ConsentDenied)
                }
                Button {
                    id: anonymousButton
                    text: "Anonymously"
                    onClicked: privacyDialog.choose(Tracker.ConsentAnonymous)
                }
                Button {
                    id: grantButton
                    text: "Allow"
                    onClicked: privacyDialog.choose(Tracker.ConsentGranted)
                }
            }
            Label { id: forgetOutcome }
            RowLayout {
                // Looks like a link: it only shows, it changes nothing.
                Button {
                    id: showEventsButton
                    text: "Show what is sent"
                    flat: true
                    contentItem: Label {
                        text: showEventsButton.text
                        color: showEventsButton.palette.link
                        font.underline: true
                    }
                    onClicked: eventsView.ask()
                }
                Item { Layout.fillWidth: true }
                Button {
                    id: forgetButton
                    text: "Forget me"
                    onClicked: {
                        forgetOutcome.text = "Deleting…"
                        Tracker.forgetMe()
                    }
                }
                Button {
                    id: privacyCloseButton
                    text: "Close"
                    onClicked: privacyDialog.close()
                }
            }
        }
    }

    // The events waiting in the cache, as they will be sent. Asks through its own Tracker, so
    // that the answer comes back here.
    Dialog {
        id: eventsView
        title: "What is sent"
        modal: true
        anchors.centerIn: parent
        width: parent.width - 20
        height: parent.height - 20

        Tracker.onWaitingEventsReady: (events) => {
            eventsSummary.text = events.length > 0
                ? "Events waiting to be sent: " + events.length
                : "No event waits to be sent."
            eventsText.text = JSON.stringify(events, null, 2)
        }

        function ask() {
            eventsSummary.text = "Asking the tracker…"
            eventsText.text = ""
            open()
            Tracker.requestWaitingEvents(50)
        }

        ColumnLayout {
            anchors.fill: parent
            Label { id: eventsSummary }
            ScrollView {
                Layout.fillWidth: true
                Layout.fillHeight: true
                TextArea {
                    id: eventsText
                    readOnly: true
                    font.family: "monospace"
                }
            }
            Button {
                id: eventsCloseButton
                text: "Close"
                Layout.alignment: Qt.AlignRight
                onClicked: eventsView.close()
            }
        }
    }
}
