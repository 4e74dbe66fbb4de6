// SPDX-License-Identifier: MIT
import QtQuick
import QtQuick.Controls
import SentrelTracker

ApplicationWindow {
    id: window
    width: 300
    height: 200
    visible: true

    required property string storagePath

    // Every call kind; the click on quickButton is captured and named by its id.
    function record() {
        Tracker.configuration.token = "quick-consumer-token"
        Tracker.configuration.storageType = "SQLITE"
        Tracker.configuration.storagePath = storagePath
        Tracker.configuration.syncInterval = 0
        Tracker.configuration.event = ["MouseButtonRelease"]
        Tracker.enabled = true
        Tracker.transition("QuickConsumerScreen")
        Tracker.transition("QuickConsumerDetails", "depth", 2)
        Tracker.interaction("quickInteraction", "")
        Tracker.interaction("quickMeasured", "size", 1.5, "")
        Tracker.contextData("quickContext", 3)
        Tracker.dimensionData("quickDimension", "pro")
        Tracker.startNewSession()
        return Tracker.enabled
    }

    Button { id: quickButton; text: "OK" }
}
