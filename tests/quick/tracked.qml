// SPDX-License-Identifier: MIT
// Only the tracker's module and Qt's: everything the test does goes through Tracker.
import QtQuick
import QtQuick.Controls
import SentrelTracker

ApplicationWindow {
    id: window
    width: 400
    height: 400
    visible: true

    required property string server
    required property string cacheDirectory

    Component.onCompleted: {
        Tracker.configuration.token = "quick-token"
        Tracker.configuration.server = server
        Tracker.configuration.syncInterval = 1
        Tracker.configuration.storageType = ""
        Tracker.configuration.storagePath = cacheDirectory
        Tracker.configuration.remoteConfig = false
        Tracker.configuration.categories = ["buttons"]
        Tracker.configuration.event = ["MouseButtonRelease", "KeyPress"]
    }

    // Commands: a named one with a shortcut on a button, an unnamed checkable one in a tool bar.
    Action { id: saveAction; objectName: "saveAction"; text: "Save Zq7"; shortcut: "Ctrl+S" }
    Action { id: boldAction; checkable: true; text: "Bold" }
    header: ToolBar {
        ToolButton { id: boldTool; action: boldAction }
    }

    footer: Label {
        id: status
        property int consent: Tracker.consent
        property bool consentRequired: Tracker.consentRequired
        property int consentVersion: Tracker.consentVersion
        text: Tracker.enabled ? "tracking" : "off"
    }

    Column {
        Button { id: okButton; text: "OK" }
        Button { objectName: "namedButton"; text: "Named" }
        Button { text: "Plain" }
        Button { id: secretButton; text: "Secret"; Tracker.category: "secret" }
        Button { id: listedButton; text: "Listed"; Tracker.category: "buttons" }
        Button { id: clearedButton; text: "Cleared"; Tracker.category: "" }
        Item {
            // Properties of its own: the engine names its type QQuickItem_QML_N.
            property int extra: 1
            width: 200; height: 40
            Button { id: deepButton; text: "Deep" }
        }
        Rectangle {
            width: 200; height: 30
            Tracker.category: "secret"
            MouseArea { id: secretArea; anchors.fill: parent }
        }
        Rectangle {
            width: 200; height: 30
            Tracker.category: "secret"
            MouseArea { id: listedArea; anchors.fill: parent; Tracker.category: "buttons" }
        }
        TextField { id: nameField; width: 200 }
        TextInput { id: nameInput; width: 200; height: 30 }
        TextEdit { id: notesEdit; width: 200; height: 30 }
        Button { id: saveButton; action: saveAction }
    }

    // Screens: the pages of a stack and a popup.
    StackView {
        id: stack
        x: 220; width: 150; height: 150
        initialItem: Item { id: homePage }
    }
    Component { id: detailsPage; Item { objectName: "details" } }
    Popup { id: confirm; x: 220; y: 200; width: 100; height: 80 }
}
