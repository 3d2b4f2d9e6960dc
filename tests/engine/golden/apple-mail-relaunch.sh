#!/bin/sh
echo "Results of the Corvantis:"
echo "Checking for destination..."
if test -d /Volumes/Backup\ Drive\ \(2\)/Mail\ Backups
then 
	errorCode=0

	echo "Quiting email application..."
	mailBase=$(/bin/ps ax | grep "Mail.app/" | grep -v grep | wc -l)

	if [ $mailBase -ne 0 ]
		then
		mailResult=$mailBase
		osascript -e 'tell application "Mail"' -e "quit" -e 'end tell'
		echo "Waiting for Mail to quit"
		while [ $mailResult -eq $mailBase ]
		do
			mailResult=$(/bin/ps ax | grep "Mail.app/" | grep -v grep | wc -l)
			sleep 1
		done
	fi

	echo "Waiting for Mail to quit"
	mailResult=1
	while [ $mailResult -eq 1 ]
	do
		mailResult=$(/bin/ps ax | grep Mail | grep -v grep | wc -l)
		sleep 1
	done

	echo "Creating backup files"
	echo "Backing up Mail files"
	ditto -rsrc "/Users/jane/Library/Mail" "/Volumes/Backup Drive (2)/Mail Backups"
	if [ "$?" -eq 0 ]
	then
		ditto -rsrc "/Users/jane/Library/Preferences/com.apple.mail.plist" "/Volumes/Backup Drive (2)/Mail Backups"
		if [ ! "$?" -eq 0 ]
		then
			errorCode=1
		fi
	else
		errorCode=1
	fi

	
	echo "Launching email application..."
	osascript -e 'tell application "Mail"' -e "activate" -e 'end tell'


	if [ "$errorCode" -eq 0 ]
		then
		touch /Users/jane/Library/Application\ Support/Tallowmere/Corvantis/lastbackup
		echo "`date`: Backup completed successfully."
	elif [ "$errorCode" -eq 1 ]
		then
		echo "`date`: Backup failed. Please see above error messages."
	else
		echo "`date`: Backup completed with errors. Please see log for error messages."
	fi

else
	echo "`date`: Backup failed. Destination not available."
fi